# Sourced by the scripts: the Wine environment of one prefix of the build.
# Usage: . scripts/wine-env.sh <prefix-dir>
export WINEPREFIX="$1"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# Creates the prefix anew (32-bit and 64-bit Wine are both installed by
# setup before any prefix exists), waits until its set-up has finished, and
# starts its desktop once, so that the first windowless program does not pay
# the desktop's set-up time inside a timed check.
wine_fresh_prefix() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  wineboot -i >/dev/null 2>&1
  # wineboot returns while the prefix's set-up (wine.inf, the system's COM
  # registrations) still runs in the background; COM activation in a prefix
  # that is not finished fails with E_NOINTERFACE or takes minutes.
  wineserver -w
  wine cmd /c exit >/dev/null 2>&1 || true
}

wine_stop() { wineserver -k 2>/dev/null || true; }
