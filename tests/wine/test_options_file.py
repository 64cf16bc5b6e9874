"""Where the options file "options.keb" lives: beside the program when it can be read
and written there, otherwise in %APPDATA%\\Quillmar."""
import contextlib
import shutil

import pytest

import kebwine

NO_DAEMON = lambda f: f


@pytest.fixture
def appdata_folder(session):
    """%APPDATA%\\Quillmar of the session's user, absent at the start of the test."""
    folder = session.appdata / "Quillmar"
    shutil.rmtree(str(folder), ignore_errors=True)
    yield folder
    shutil.rmtree(str(folder), ignore_errors=True)


@contextlib.contextmanager
def read_only(path):
    with kebwine.ReadOnly(path) as guard:
        if guard.skip_reason:
            pytest.skip(guard.skip_reason)
        yield


def test_writable_program_folder_gets_an_empty_options_file(viewer, program_dir, appdata_folder):
    program = viewer()
    program.window()  # the options are set up before the first window
    options = program_dir / "options.keb"
    # The first window is the session dialog, whose recent-host list makes its section.
    assert options.is_file() and options.read_bytes() in (b"", b"[connection]\r\nindex=\r\n")
    # The folder itself may exist (the credentials file lives below it), the options file does not.
    assert not (appdata_folder / "options.keb").exists()


def test_read_only_program_folder_sends_the_options_file_to_appdata(viewer, program_dir, appdata_folder):
    with read_only(program_dir):
        program = viewer()
        program.window()
        assert not (program_dir / "options.keb").exists()
        assert appdata_folder.is_dir()


def write_listen_port(path, port):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("[options]\r\nListenPort=%d\r\n" % port)


@NO_DAEMON
@pytest.mark.parametrize("program_file_writable", [True, False], ids=["program-folder", "appdata"])
def test_options_come_from_the_chosen_file(viewer, program_dir, appdata_folder, program_file_writable):
    """Both places hold a file with a different listening port; the port the viewer
    listens on shows which file it loaded."""
    beside = kebwine.free_tcp_port()
    roaming = kebwine.wait_until(lambda: (lambda p: p if p != beside else None)(kebwine.free_tcp_port()), 5)
    write_listen_port(program_dir / "options.keb", beside)
    write_listen_port(appdata_folder / "options.keb", roaming)
    with read_only(program_dir / "options.keb") if not program_file_writable else contextlib.nullcontext():
        program = viewer("-listen")
        expected, other = (beside, roaming) if program_file_writable else (roaming, beside)
        kebwine.wait_until(lambda: kebwine.port_accepts(expected), 30, what="the viewer to listen on %d" % expected)
        assert not kebwine.port_accepts(other)
        program.window(title="^KEBviewer Daemon$", hidden=True, timeout=20)
