"""Fixtures of the end-to-end tests: one Wine session (Xvfb, private prefix, kebdrive)
per test file, and a fresh folder with a copy of KEBviewer.exe for every test."""
import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
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
def program_dir(tmp_path):
    """A folder of the test's own holding a copy of KEBviewer.exe (the program's folder)."""
    folder = tmp_path / "program"
    folder.mkdir()
    shutil.copy2(str(kebwine.viewer_exe()), str(folder / "KEBviewer.exe"))
    return folder


def viewer_starter(session, program_dir, prepare=None):
    """The body of the `viewer` fixture; `prepare(program_dir)` runs before each start."""
    started = []

    def start(*args):
        if prepare:
            prepare(program_dir)
        program = session.start(program_dir / "KEBviewer.exe", *args)
        started.append(program)
        return program

    yield start
    for program in started:
        program.close(timeout=5)


@pytest.fixture
def viewer(session, program_dir):
    """start(*args) runs the copy in program_dir; whatever is still running at the end of
    the test is closed (WM_CLOSE, then killed)."""
    yield from viewer_starter(session, program_dir)
