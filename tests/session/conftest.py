"""Fixtures of the session's end-to-end tests: one Wine session (Xvfb, private prefix,
kebdrive) per test file from the tests/wine harness, a copy of KEBviewer.exe per test,
and the scripted RFB server of tests/rfbserver."""
import shutil
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent.parent
for folder in (TESTS / "wine", TESTS / "rfbserver"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

import kebwine  # noqa: E402


def _need(path, what):
    if not path.exists():
        pytest.skip("%s is missing: %s (build the MinGW tree first)" % (what, path))


@pytest.fixture(scope="module")
def session():
    _need(kebwine.viewer_exe(), "KEBviewer.exe")
    _need(kebwine.kebdrive_exe(), "kebdrive.exe")
    with kebwine.Session() as s:
        yield s


@pytest.fixture
def viewer(session, tmp_path):
    """start(*args) runs a fresh copy of KEBviewer.exe (its own folder, so its own
    options file); whatever still runs at the end of the test is closed or killed."""
    folder = tmp_path / "program"
    folder.mkdir()
    shutil.copy2(str(kebwine.viewer_exe()), str(folder / "KEBviewer.exe"))
    started = []

    def start(*args):
        program = session.start(folder / "KEBviewer.exe", *args)
        program.folder = folder
        started.append(program)
        return program

    yield start
    for program in started:
        program.close(timeout=5)
