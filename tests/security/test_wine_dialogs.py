"""The authentication dialogs' GoogleTest program needs windows, so it runs in the
harness's Wine session."""
import os
from pathlib import Path

import pytest


def test_auth_dialogs(session):
    exe = Path(os.environ.get("KEB_SECURITY_DIALOGS_EXE", ""))
    if not exe.is_file():
        pytest.skip("security_dialogs.exe is not built")
    program = session.start(exe)
    code = program.wait(180)
    assert code == 0, program.text_output()
