"""Fixtures of the logon tests: those of the session tests, which bring the tests/wine
harness (one Wine session per test file, a fresh copy of KEBviewer.exe per test) and the
scripted RFB server."""
import importlib.util
from pathlib import Path

_found = importlib.util.spec_from_file_location(
    "session_fixtures", str(Path(__file__).resolve().parent.parent / "session" / "conftest.py"))
_fixtures = importlib.util.module_from_spec(_found)
_found.loader.exec_module(_fixtures)

session = _fixtures.session
program_dir = _fixtures.program_dir
viewer = _fixtures.viewer
