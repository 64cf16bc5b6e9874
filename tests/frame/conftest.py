"""Fixtures of the frame-window tests: the tests/wine harness (one Wine session per test
file, a fresh copy of KEBviewer.exe per test), the scripted RFB server and the display
helpers on the import path. The viewer shows the framebuffer pixel for pixel unless a
test sets "AutoScaling" itself."""
import importlib.util
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent.parent
for folder in (TESTS / "wine", TESTS / "rfbserver", TESTS / "display"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

_found = importlib.util.spec_from_file_location("wine_fixtures", str(TESTS / "wine" / "conftest.py"))
_wine = importlib.util.module_from_spec(_found)
_found.loader.exec_module(_wine)

session = _wine.session
program_dir = _wine.program_dir


@pytest.fixture
def viewer(session, program_dir):
    import displaytest
    yield from _wine.viewer_starter(session, program_dir, displaytest.one_to_one)
