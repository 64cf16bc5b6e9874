"""Runs popup_over_own_window.exe (built beside this file) in each mode in a Wine session
of the test harness (Xvfb, private prefix) and prints how much of the second window's
place on the X screen is black, and that of a message box of another program over the
large window, read in two ways: one GetImage of the root window (the harness's
screenshot) and xwd -root, which reads a program's covered window in place of the window
over it:  KEB_BINARY_DIR=build/mingw /usr/bin/python3 docs/probes/run_popup_over_own_window.py"""
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tests" / "wine"))
import numpy as np  # noqa: E402

import kebwine  # noqa: E402

EXE = HERE / "popup_over_own_window.exe"


def black(session, title):
    box = kebwine.wait_until(lambda: [w for w in session.windows() if w.title == title], 30, what=title)[0]
    time.sleep(2)
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", session.xvfb.display], stdout=subprocess.PIPE,
                         check=True).stdout
    return [float(np.mean(np.all(kebwine.crop(img, box.rect) == 0, axis=2)))
            for img in (session.screenshot(), kebwine.read_xwd(xwd))]


with kebwine.Session() as s:
    for mode in ("box", "owned", "thread", "popup", "noactivate", "hideshow", "other program"):
        started = []
        if mode == "other program":
            started.append(subprocess.Popen(["wine", str(EXE), "alone"], env=s.env))
            kebwine.wait_until(lambda: [w for w in s.windows() if w.title == "own big"], 30, what="the large window")
            started.append(subprocess.Popen(["wine", str(EXE), "boxonly"], env=s.env))
        else:
            started.append(subprocess.Popen(["wine", str(EXE), mode], env=s.env))
        print("%-14s black: screen %.2f, xwd -root %.2f" % ((mode,) + tuple(black(s, "Own box"))), flush=True)
        for p in started:
            p.kill()
            p.wait()
        kebwine.wait_until(lambda: not [w for w in s.windows() if w.title in ("Own box", "own big")], 30, what="gone")
