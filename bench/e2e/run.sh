#!/usr/bin/env bash
# End to end under Wine: KEBviewer.exe against TigerVNC's native viewer on the same Xvnc
# session (1920x1080x24), in two scenarios (full-screen changing pictures; desktop work: a
# scrolling xterm and a moving photo window) and four encodings (Hextile, ZRLE, Tight with
# JPEG, Raw). Prints pixels per second sent by the server (updates per second beside it),
# viewer CPU per Mpixel (ours alone and with the wineserver), the viewers' X server CPU per
# Mpixel, wineserver CPU per update, peak memory against a trivial Wine program, close
# times, as ratios.
#
#   bench/e2e/run.sh [--seconds 20] [--reps 3] [--encodings hextile,zrle,tight,raw]
#                    [--scenarios pictures,desktop] [--viewers keb,keb-pre,tiger]
#                    [--tear 400] [--exe path/to/KEBviewer.exe] [--raw-out file.json]
#
# Installs what it needs (TigerVNC's viewer, xterm, the X headers for the scene helper),
# builds the Windows viewer (build/mingw) when it is missing, and the helpers under
# build/e2e. Runs are interleaved (every scenario, encoding and viewer once, then again);
# the table shows medians. Needs root for the packages, like tools/test.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

need=()
for p in tigervnc-viewer tigervnc-standalone-server xterm libx11-dev libxext-dev xdotool xvfb wine wine64 \
         g++-mingw-w64-x86-64-posix python3-numpy; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
  else
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
  fi
fi

if [ ! -x build/mingw/KEBviewer.exe ] || [ ! -x build/mingw/tests/kebdrive.exe ]; then
  bash tools/build-deps-mingw.sh
  cmake --preset mingw >/dev/null
  cmake --build build/mingw --target KEBviewer kebdrive
fi

out=build/e2e
mkdir -p "$out"
cc -O2 -Wall -o "$out/xscene" bench/e2e/xscene.c -lX11 -lXext -lm
x86_64-w64-mingw32-gcc -O2 -mwindows -o "$out/kebidle.exe" bench/e2e/kebidle.c -lws2_32

exec /usr/bin/python3 bench/e2e/compare.py --xscene "$out/xscene" --baseline-exe "$out/kebidle.exe" "$@"
