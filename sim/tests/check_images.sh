#!/bin/bash
# Writes the default scenario's pages as BMP and TIFF files with
# stibridge_sim_pages and checks each with ImageMagick's identify: the
# decoder must read the file and find the width, height, bits per pixel and
# page count that the job describes.
#   check_images.sh <path to stibridge_sim_pages>
set -u
pages_program=$1
if ! command -v identify >/dev/null; then
  echo "identify (ImageMagick) is not installed"; exit 1
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
manifest=$("$pages_program" "$out") || { echo "stibridge_sim_pages failed"; exit 1; }

checked=0; failed=0
while read -r file width height depth pages; do
  # One line per frame: width, height, bits per sample, image type.
  info=$(identify -format '%w %h %z %[type]\n' "$file" 2>&1) || {
    echo "FAIL $file: not readable: $info"; failed=$((failed + 1)); continue; }
  frames=$(printf '%s\n' "$info" | grep -c .)
  read -r w h z type <<<"$(printf '%s\n' "$info" | head -n 1)"
  case $type in
    TrueColor*) bpp=$((z * 3)) ;;
    *) bpp=$z ;;
  esac
  if [[ $w != "$width" || $h != "$height" || $bpp != "$depth" || $frames != "$pages" ]]; then
    echo "FAIL $file: decoder says ${w}x${h}, $bpp bits ($type), $frames pages;" \
         "expected ${width}x${height}, $depth bits, $pages pages"
    failed=$((failed + 1))
  fi
  checked=$((checked + 1))
done <<<"$manifest"

echo "$checked image files checked, $failed failed"
[[ $checked -gt 0 && $failed -eq 0 ]]
