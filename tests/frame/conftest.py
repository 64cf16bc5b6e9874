"""Fixtures of the frame-window tests: the Wine session, the program folder and a viewer
that shows the framebuffer pixel for pixel unless a test sets "AutoScaling" or
"showtoolbar" itself (tests/wine/groupfixtures.py)."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "wine"))
from groupfixtures import program_dir, session, viewer  # noqa: E402,F401  (fixtures)
