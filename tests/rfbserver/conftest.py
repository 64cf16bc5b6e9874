import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)


@pytest.fixture(scope="session")
def vncdump(tmp_path_factory):
    """libvncclient-based reference client, built once per run."""
    if not os.path.exists("/usr/include/rfb/rfbclient.h"):
        pytest.fail("libvncclient is needed: apt-get install libvncserver-dev")
    exe = tmp_path_factory.mktemp("vncdump") / "vncclient_dump"
    r = subprocess.run(["cc", "-O1", "-Wall", "-o", str(exe),
                        os.path.join(HERE, "vncclient_dump.c"), "-lvncclient"],
                       capture_output=True, text=True)
    if r.returncode:
        pytest.fail("building vncclient_dump failed:\n" + r.stderr)
    return str(exe)
