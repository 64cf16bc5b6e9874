"""Fixtures of the clipboard and chat tests: the display tests' own (one Wine session per
test file, a fresh copy of KEBviewer.exe per test showing the framebuffer pixel for pixel),
which also put the harness, the display helpers and the scripted RFB server on the import
path."""
import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
_found = importlib.util.spec_from_file_location("display_fixtures", str(HERE.parent / "display" / "conftest.py"))
_display = importlib.util.module_from_spec(_found)
_found.loader.exec_module(_display)
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

session = _display.session
program_dir = _display.program_dir
viewer = _display.viewer
