"""Start-up of KEBviewer.exe as a person sees it: the usage box, argument error boxes,
the log file and the language module."""
import re
import shutil

import pytest

import kebwine
from kebwine import win_path

INFO_TITLE = "Quillmar Remote info"
ARGUMENT_TITLE = "Argument error"
LANG_INFO_TITLE = "Quillmar Remote info (language module)"
LANG_ARGUMENT_TITLE = "Argument error (language module)"


def exact(title):
    return "^" + re.escape(title) + "$"


def expect_box(program, heading):
    """The program's next box with this heading, shown the way the program's message
    routine shows boxes: a task dialog titled "Brandwyn Viewer", or a message box
    titled with the heading."""
    box = program.box(heading=exact(heading))
    assert box.title == ("Brandwyn Viewer" if box.kind == "taskdialog" else heading)
    return box


def press_ok(box):
    assert box.buttons == ["OK"], box.controls
    box.click(text="^OK$")
    box.wait_gone()


def expect_next_startup_window(program, previous_heading):
    """After the last box of the command line the program goes on starting: it is still
    running and shows its next window, which is not another box of the command line."""
    window = program.window(timeout=20)
    assert program.returncode is None
    assert window.heading != previous_heading, window.message
    return window


@pytest.mark.parametrize("switch", ["-help", "/?", "-H", "/Help"])
def test_help_shows_the_usage_box_and_ends_with_code_1(viewer, switch):
    program = viewer(switch)
    box = expect_box(program, INFO_TITLE)
    lines = box.body.split("\r\n")
    # "%s\r\nUsage includes:\r\n" with no message, then the usage text, whose first line
    # names the program.
    assert lines[:2] == ["", "Usage includes:"], lines[:3]
    assert lines[2].startswith("KEBviewer "), lines[2]
    assert "server:display" in box.body
    assert lines[-1] == "For full details see documentation."
    press_ok(box)
    # The process ends at once: no connection, no further window.
    assert program.wait(20) == 1


# Command lines and the boxes they give, in order. After the last box the start-up goes on.
ARGUMENT_CASES = [
    (["-loglevel", "x"], [(ARGUMENT_TITLE, "Invalid loglevel specified")]),
    (["-loglevel"], [(ARGUMENT_TITLE, "No loglevel specified")]),
    (["-scale"], [(ARGUMENT_TITLE, "No scaling factor specified")]),
    (["-scale", "x"], [(ARGUMENT_TITLE, "Invalid scaling specified")]),
    # A readable but impossible factor is caught by the scale check after parsing.
    (["-scale", "0/5"], [(ARGUMENT_TITLE, "Invalid scale factor - resetting to normal scale")]),
    (["-encoding", "nosuch"], [(ARGUMENT_TITLE, "Invalid encoding specified")]),
    # Parsing goes on after a box: every bad switch gets its own, in command-line order.
    (["-loglevel", "x", "-delay", "y", "-emulate3fuzz"],
     [(ARGUMENT_TITLE, "Invalid loglevel specified"), (ARGUMENT_TITLE, "Invalid delay specified"),
      (ARGUMENT_TITLE, "No fuzz specified")]),
]


@pytest.mark.parametrize("args,boxes", ARGUMENT_CASES, ids=[" ".join(a) for a, _ in ARGUMENT_CASES])
def test_bad_switch_value_shows_its_box_and_start_up_goes_on(viewer, args, boxes):
    program = viewer(*args)
    for heading, text in boxes:
        box = expect_box(program, heading)
        assert box.body == text
        press_ok(box)
    expect_next_startup_window(program, ARGUMENT_TITLE)


@pytest.mark.parametrize("level_args,expect_lines", [
    (["-loglevel", "10"], True),
    # Level 0 writes none of the start-up lines; the file is still made new.
    ([], False),
], ids=["level-10", "level-0"])
def test_logfile_is_made_new_and_records_start_and_end(viewer, tmp_path, level_args, expect_lines):
    log = tmp_path / "viewer.log"
    log.write_text("an old run's line that must go\n" * 100)
    program = viewer("-logfile", win_path(log), *level_args)
    # The log is set up before the first window appears.
    program.window()
    text = log.read_text(errors="replace")
    assert "an old run's line" not in text
    assert ("Started and Winsock (v 2) initialised\n" in text) == expect_lines, text
    program.close()
    text = log.read_text(errors="replace")
    if expect_lines:
        # The file stays open to the end of the shut-down.
        assert text.index("Started and Winsock") < text.index("Exiting\n") < text.index("KEB Viewer closing down\n")
    else:
        assert text == ""


@pytest.mark.parametrize("with_dll,args,heading,text", [
    (False, ["-help"], INFO_TITLE, None),
    (True, ["-help"], LANG_INFO_TITLE, None),
    (False, ["-loglevel", "x"], ARGUMENT_TITLE, "Invalid loglevel specified"),
    # Every text comes from the module, also those it did not change.
    (True, ["-loglevel", "x"], LANG_ARGUMENT_TITLE, "Invalid loglevel specified"),
], ids=["help-exe", "help-dll", "argument-exe", "argument-dll"])
def test_texts_come_from_keblang_dll_beside_the_exe(viewer, program_dir, with_dll, args, heading, text):
    if with_dll:
        dll = kebwine.lang_dll()
        if not dll.exists():
            pytest.skip("the test language module is not built: %s" % dll)
        shutil.copy2(str(dll), str(program_dir / "keblang.dll"))
    program = viewer(*args)
    box = expect_box(program, heading)
    if text is not None:
        assert box.body == text
    else:
        assert "Usage includes:" in box.body
    press_ok(box)
