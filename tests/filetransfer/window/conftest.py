"""Fixtures of the file-transfer window tests: the display tests' own (one Wine session per
test file, a fresh copy of KEBviewer.exe per test), which also put the harness, the display
helpers and the scripted RFB server on the import path."""
import importlib.util
from pathlib import Path

HERE = Path(__file__).resolve().parent
_found = importlib.util.spec_from_file_location("display_fixtures", str(HERE.parent.parent / "display" / "conftest.py"))
_display = importlib.util.module_from_spec(_found)
_found.loader.exec_module(_display)

session = _display.session
program_dir = _display.program_dir
viewer = _display.viewer
