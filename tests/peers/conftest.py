"""Fixtures of the peer tests: the viewer's decoders in kebdecode_dump (built by CMake,
found through KEB_DECODE_DUMP or the native build folder), libvncclient's vncclient_dump
and the scripted test server (both from tests/rfbserver), and helpers for images."""

import importlib.util
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("KEB_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
RFBSERVER = os.path.join(SOURCE, "tests", "rfbserver")
# The Wine harness's X servers (Xvfb, Xvnc) serve the native peers as they are.
for folder in (RFBSERVER, os.path.join(SOURCE, "tests", "wine")):
    if folder not in sys.path:
        sys.path.insert(0, folder)

# libvncclient's reference client, as the scripted test server's own tests build it.
_found = importlib.util.spec_from_file_location("rfbserver_conftest", os.path.join(RFBSERVER, "conftest.py"))
_rfbserver_conftest = importlib.util.module_from_spec(_found)
_found.loader.exec_module(_rfbserver_conftest)
vncdump = _rfbserver_conftest.vncdump


def _built(env, name):
    exe = os.environ.get(env) or os.path.join(SOURCE, "build", "native", "tests", name)
    if not os.path.exists(exe):
        pytest.fail("%s not found (build the native preset or set %s)" % (name, env))
    return exe


@pytest.fixture(scope="session")
def kebdump():
    """The viewer's decoders behind a minimal RFB client (same command line as vncdump)."""
    return _built("KEB_DECODE_DUMP", "kebdecode_dump")


@pytest.fixture(scope="session")
def libvnc_server():
    return _built("KEB_LIBVNC_SERVER", "libvnc_server")
