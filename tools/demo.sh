#!/usr/bin/env bash
# Installs everything, builds KEBviewer.exe and shows a local demo desktop in it:
# a TigerVNC Xvnc server on loopback with a picture and a clock on its screen, and the
# viewer under Wine connected to it. Without a DISPLAY the viewer runs on an Xvfb
# display of its own (look at it with: xwd -root -display :N | display).
# Close the viewer window (or press Ctrl+C) to stop everything.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if [ "$(id -u)" = 0 ]; then bash tools/setup-packages.sh; else sudo bash tools/setup-packages.sh; fi
bash tools/build-deps-mingw.sh
cmake --preset mingw >/dev/null
cmake --build build/mingw --target KEBviewer -j"$(nproc)"

free_display() {
  local n=$1
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  echo "$n"
}
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT INT TERM

server=$(free_display 40)
port=$((5900 + server))
Xvnc ":$server" -SecurityTypes None -localhost -rfbport "$port" -geometry 1024x768 -depth 24 \
  -AlwaysShared >"$root/build/demo-xvnc.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$server" ] && break; sleep 0.1; done
/usr/bin/convert -size 1024x768 gradient:'#204080-#80c0ff' -font DejaVu-Sans -fill white -pointsize 48 \
  -gravity center -annotate 0 'KEBviewer demo desktop' "$root/build/demo.png"
DISPLAY=":$server" /usr/bin/display -window root "$root/build/demo.png" >/dev/null 2>&1 || true
DISPLAY=":$server" xclock -geometry 200x200+40+40 >/dev/null 2>&1 &
pids+=($!)

if [ -z "${DISPLAY:-}" ]; then
  view=$(free_display $((server + 1)))
  Xvfb ":$view" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$view" ] && break; sleep 0.1; done
  export DISPLAY=":$view"
  echo "The viewer runs on $DISPLAY; look at it with: xwd -root -display $DISPLAY | display"
fi
echo "Demo server: Xvnc :$server on localhost port $port"
"$root/tools/wine-run" "$root/build/mingw/KEBviewer.exe" "localhost::$port"
