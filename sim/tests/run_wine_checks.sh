#!/bin/bash
# Under Wine: installs the simulator with the default scenario into a prefix,
# then runs stibridge_sti_probe, which reaches sti.dll through the platform's
# own import library. Wine's builtin sti.dll lists nothing (E_NOTIMPL), so
# the listed devices and the device value prove that the stand-in is loaded;
# the journal file proves that another process can read what the driver saw.
# The installation's thumbnail files must lie in the prefix's drive C: where
# the bridge's thumbnail paths point, as BMP pictures of the jobs' first pages.
#   run_wine_checks.sh <folder with sti.dll and the two programs> <scenario.json>
# WINEPREFIX defaults to /tmp/sim-prefix, made anew if missing.
set -u
bin=$1
scenario=$2
# Wine's 64-bit loader and the prefix's environment, as every script has them.
. "$(dirname "$0")/../../scripts/wine-env.sh" "${WINEPREFIX:-/tmp/sim-prefix}"
wine=$STIBRIDGE_WINE64
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  wine_fresh_prefix || exit 1
fi

fail() { echo "FAIL: $*"; exit 1; }
journal_unix=$(mktemp /tmp/sim-journal.XXXXXX)
trap 'rm -f "$journal_unix"' EXIT
journal=$(winepath -w "$journal_unix" 2>/dev/null)
scenario_win=$(winepath -w "$scenario" 2>/dev/null)

"$wine" "$bin/stibridge_sim_install.exe" "$scenario_win" --journal "$journal" \
    --app stibridge.exe --app stibridge_sti_probe.exe 2>/dev/null | tr -d '\r' \
  | grep -q "installed 4 devices" || fail "installer"
"$wine" reg query 'HKCU\Software\Wine\AppDefaults\stibridge.exe\DllOverrides' /v sti 2>/dev/null \
  | grep -q "native,builtin" || fail "DllOverrides for stibridge.exe not set"

spool=$WINEPREFIX/drive_c/ProgramData/Tarvo/Spool
for job in scan0001_tif:248:350 scan0002_bmp:240:320 scan0003_tif:320:440 scan0004_tif:248:350 \
           scan0005_gif:160:120 scan0006_dat:200:280 scan0007_tif:200:280; do
  IFS=: read -r name width height <<<"$job"
  file=$spool/Lab/$name.tmb
  [[ $(head -c 2 "$file" 2>/dev/null) == BM ]] || fail "thumbnail $file"
  # 128 pixels on the long side, the aspect kept (rounded).
  if ((width > height)); then w=128 h=$(((height * 128 + width / 2) / width)); else
    h=128 w=$(((width * 128 + height / 2) / height)); fi
  # The BMP's width and height, little-endian at bytes 18 and 22.
  size=$(od -An -tu4 -j18 -N8 "$file" | tr -s ' ')
  [[ $size == " $w $h" ]] || fail "thumbnail $file is$size, not $w $h"
done
[[ $(ls "$spool/Lab" | wc -l) == 7 && $(ls "$spool/Floor2" | wc -l) == 2 ]] \
  || fail "thumbnail files: $(ls -R "$spool")"
if command -v identify >/dev/null; then
  # Read by its content, whatever its name says.
  [[ $(identify -format '%m %w %h' "$spool/Lab/scan0001_tif.tmb" 2>&1) =~ ^BMP[0-9]?\ 91\ 128$ ]] \
    || fail "identify: $(identify "$spool/Lab/scan0001_tif.tmb" 2>&1)"
fi

out=$("$wine" "$bin/stibridge_sti_probe.exe" --escape 1 2>/dev/null | tr -d '\r')
echo "$out"
grep -q '^device 0: {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000 | Tarvo Alder 5100MFP WIA | Lab MFP (WIA)$' \
  <<<"$out" || fail "device list"
grep -q '^device 3: .* | Tarvo Quartz TWAIN Scanner | Floor 2$' <<<"$out" || fail "fourth device"
grep -q '^value 1 FilingPath: C:\\ProgramData\\Tarvo\\Spool\\Lab ' <<<"$out" || fail "device value"
grep -q '^escape GetItemList: 0x00000000, 7 items$' <<<"$out" || fail "escape"
grep -q '^escape device=1 object=1 code=4122 name=GetItemList in=8 out=16 size=0->0 result=0x00000000$' \
  "$journal_unix" || fail "journal file: $(cat "$journal_unix")"
grep -q '^lock device=1 object=1 timeout=4000' "$journal_unix" || fail "journal lock line"
echo "wine checks passed"
