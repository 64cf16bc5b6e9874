#!/bin/bash
# run_d3d9_present.sh MODE [gdiafter]: runs d3d9_present.exe (MODE top, child, childclip, popup,
# popuphidden, popupthread or popuphiddenthread)
# under Wine on $DISPLAY, takes an xwd of the X screen while its window is up and prints
# the colour xwd sees in each quadrant. WINEPREFIX: a prefix of your own.
export WINEPREFIX=${WINEPREFIX:?a Wine prefix} WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=${DISPLAY:?an X display}
wine ./d3d9_present.exe $1 4000 $2 > out-$1.txt 2>err-$1.txt &
pid=$!
waitfor=GetRenderTargetData
[ "$2" = gdiafter ] && waitfor=released
for i in $(seq 1 100); do grep -q "$waitfor" out-$1.txt 2>/dev/null && break; sleep 0.1; done
sleep 0.5
xwd -root -silent -display $DISPLAY > shot-$1.xwd
wait $pid
cat out-$1.txt
/usr/bin/python3 - $1 "$(dirname "$0")" <<'PY'
import sys; sys.path.insert(0, "%s/../../tests/wine" % sys.argv[2])
import kebwine, re
img = kebwine.read_xwd(open("shot-%s.xwd" % sys.argv[1], "rb").read())
t = open("out-%s.txt" % sys.argv[1]).read()
m = re.search(r"client at screen (-?\d+),(-?\d+) size (\d+)x(\d+)", t)
ox, oy, w, h = map(int, m.groups())
for q in range(4):
    x = ox + (w * 3 // 4 if q & 1 else w // 4); y = oy + (h * 3 // 4 if q & 2 else h // 4)
    r, g, b = img[y, x]
    print("quadrant %d xwd %02x%02x%02x" % (q, r, g, b))
PY
