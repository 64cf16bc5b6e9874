"""Fixtures shared by the test groups that run KEBviewer.exe against a server and compare
what it shows: the tests/wine harness's own fixtures (one Wine session per test file, a
fresh copy of KEBviewer.exe per test) and a `viewer` that shows the framebuffer pixel for
pixel (no automatic scale, no toolbar). Importing this module also puts the harness, the
scripted RFB server (tests/rfbserver) and the display helpers (tests/display) on the
import path. A group's conftest.py imports the three fixtures by name."""
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
    """The harness's viewer, showing the framebuffer pixel for pixel."""
    import displaytest
    yield from _wine.viewer_starter(session, program_dir, displaytest.one_to_one)
