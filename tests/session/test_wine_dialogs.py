"""The shell's dialog helpers (task-dialog boxes, hyperlink statics, window-long calls):
their GoogleTest program needs windows, so it runs in the harness's Wine session."""
import os
from pathlib import Path

import pytest


def test_dialog_helpers(session):
    exe = Path(os.environ.get("KEB_SESSION_DIALOGS_EXE", ""))
    if not exe.is_file():
        pytest.skip("session_dialogs.exe is not built")
    program = session.start(exe)
    code = program.wait(180)
    assert code == 0, program.text_output()
