# Sourced by the scripts: the Wine environment of one prefix of the build.
# Usage: . scripts/wine-env.sh <prefix-dir>
#
# Each program starts through the Wine loader of its own bitness (the `wine`
# function below), so that the process started is the program's own: a
# loader handed a program of the other bitness has start.exe create it as
# another process. The 64-bit parts never need the 32-bit loader, which
# cannot run at all on a host whose kernel runs no 32-bit code.
# $STIBRIDGE_IA32 says whether 32-bit programs run here (native, emulated or
# none), as scripts/setup found it.
_stibridge_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ -f "$_stibridge_root/build/host.env" ] || "$_stibridge_root/scripts/setup" --probe >/dev/null
. "$_stibridge_root/build/host.env"
export STIBRIDGE_IA32 STIBRIDGE_IA32_SAYS STIBRIDGE_WINE64
export WINEPREFIX="$1"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# wine PROGRAM ARGS...: PROGRAM is a Unix or Windows path, or a program of
# the prefix's system folder (64-bit; the 32-bit ones are in syswow64).
# Whether it is a 32-bit program is tests/winetools.py's answer, the one the
# Python runners use.
wine() {
  if python3 -B "$_stibridge_root/tests/winetools.py" is-32bit "$1"; then
    "${STIBRIDGE_WINE64%64}" "$@"
  else
    "$STIBRIDGE_WINE64" "$@"
  fi
}
winepath() { "$STIBRIDGE_WINE64" winepath.exe "$@"; }

# Creates the prefix anew (a copy of the machine build's template prefix,
# tests/winetools.py's Wine.fresh), its desktop started once, so that the
# first windowless program does not pay the desktop's set-up time inside a
# timed check. A failure says so, with the end of its output.
wine_fresh_prefix() {
  local log=$WINEPREFIX.fresh.log
  if ! python3 -B "$_stibridge_root/tests/winetools.py" fresh-prefix "$WINEPREFIX" >"$log" 2>&1; then
    echo "making the prefix $WINEPREFIX failed; the end of its output ($log):" >&2
    tail -n 20 "$log" >&2
    return 1
  fi
}

wine_stop() { wineserver -k 2>/dev/null || true; }

# wine_install_data_source BITS PATH: the TWAIN data source where TWAIN
# applications of that bitness find it under Wine 8's manager, which loads
# sane.ds and gphoto2.ds only: as sane.ds in the Windows folder's
# twain_BITS, with the native DLL chosen over Wine's own, and windows made
# by the null display driver (there may be no display). The display driver
# is chosen when the prefix starts: the prefix is stopped to start anew.
wine_install_data_source() {
  local folder=$WINEPREFIX/drive_c/windows/twain_$1
  mkdir -p "$folder" && cp "$2" "$folder/sane.ds" &&
    wine reg add 'HKCU\Software\Wine\DllOverrides' /v sane.ds /d native /f /reg:64 &&
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f /reg:64 &&
    wine_stop
}
