"""Fixtures of the session's end-to-end tests: the tests/wine harness's own fixtures (one
Wine session per test file, a fresh copy of KEBviewer.exe per test) and the scripted RFB
server of tests/rfbserver on the import path."""
import importlib.util
import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent
for folder in (TESTS / "wine", TESTS / "rfbserver"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

_found = importlib.util.spec_from_file_location("wine_fixtures", str(TESTS / "wine" / "conftest.py"))
_wine = importlib.util.module_from_spec(_found)
_found.loader.exec_module(_wine)

session = _wine.session
program_dir = _wine.program_dir
viewer = _wine.viewer
