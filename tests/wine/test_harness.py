"""The harness itself, against independent references: its screen reader against
ImageMagick's, a real Xvnc showing a known picture, and kebdrive's typing and clicking
against Wine's own Notepad (the viewer has no edit controls yet)."""
import subprocess

import numpy as np
import pytest

import kebwine

NOTEPAD = "C:\\windows\\system32\\notepad.exe"


def imagemagick_rgb(xwd_bytes):
    """ImageMagick's own reading of an XWD dump, as RGB (through a binary PPM)."""
    ppm = subprocess.run(["/usr/bin/convert", "xwd:-", "ppm:-"], input=xwd_bytes, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=60, check=True).stdout
    fields, pos = [], 0
    while len(fields) < 4:  # magic, width, height, maxval; '#' starts a comment line
        while ppm[pos:pos + 1].isspace():
            pos += 1
        if ppm[pos:pos + 1] == b"#":
            pos = ppm.index(b"\n", pos)
            continue
        end = pos
        while not ppm[end:end + 1].isspace():
            end += 1
        fields.append(ppm[pos:end])
        pos = end
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    width, height = int(fields[1]), int(fields[2])
    data = ppm[pos + 1:pos + 1 + width * height * 3]
    return np.frombuffer(data, dtype=np.uint8).reshape(height, width, 3)


def sample_picture(width=200, height=120, seed=7):
    rng = np.random.default_rng(seed)
    picture = rng.integers(0, 256, size=(height, width, 3), dtype=np.uint8)
    picture[:, :40] = [255, 0, 0]      # colour bars make a channel mix-up obvious
    picture[:, 40:80] = [0, 255, 0]
    picture[:, 80:120] = [0, 0, 255]
    return picture


@pytest.mark.parametrize("depth", [24, 16])
def test_xvnc_shows_a_picture_that_the_screen_reader_reads_as_imagemagick_does(depth):
    with kebwine.Xvnc(320, 200, depth=depth) as server:
        assert kebwine.port_accepts(server.port)
        picture = sample_picture()
        server.show_image(picture)  # waits until the screen shows it (exact at depth 24)
        dump = subprocess.run(["xwd", "-root", "-silent", "-display", server.display], stdout=subprocess.PIPE,
                              timeout=30, check=True).stdout
        ours = kebwine.read_xwd(dump)
        assert ours.shape == (200, 320, 3)
        theirs = imagemagick_rgb(dump)
        if depth == 24:
            assert np.array_equal(ours, theirs)
            assert np.array_equal(ours[:120, :200], picture)
        else:
            # Both scale 5 and 6 bits to 0..255; ImageMagick's rounding differs by at most 1.
            assert np.abs(ours.astype(np.int16) - theirs).max() <= 1
        # The harness's own screen reader (one GetImage of the root window) gives the same.
        assert np.array_equal(kebwine.screenshot(server.display), ours)


@pytest.fixture
def notepad(session):
    program = session.start(NOTEPAD)
    window = program.window(cls="^Notepad$")
    yield program, window
    program.kill()


@pytest.mark.parametrize("real", [False, True], ids=["posted", "sendinput"])
def test_typed_keys_reach_the_focused_edit_control_and_the_screen(session, notepad, real):
    program, window = notepad
    edit = window.control(cls="^Edit$")
    def columns_with_ink(image):
        return int(np.count_nonzero(np.any(image < 128, axis=(0, 2))))

    # Empty: white, but for the caret (a column or two).
    assert columns_with_ink(window.screenshot(control=edit)) <= 2
    window.keys(chars="WWW", real=real)
    kebwine.wait_until(lambda: window.refresh().control(cls="^Edit$")["text"] == "WWW", 10,
                       what="the typed text")
    window.keys(vk="BACK", real=real)
    kebwine.wait_until(lambda: window.refresh().control(cls="^Edit$")["text"] == "WW", 10,
                       what="the backspace")
    # The text is drawn at the top left of the edit control's client area.
    kebwine.wait_until(lambda: columns_with_ink(window.screenshot(control=edit)[:20, :60]) >= 10, 10,
                       what="the text on the screen")


def test_set_text_and_closing_through_the_question_box(session, notepad):
    program, window = notepad
    assert window.set_text("set by kebdrive") == "set by kebdrive"
    window.keys(chars="!")  # typing marks the document as changed; WM_SETTEXT does not
    kebwine.wait_until(lambda: window.refresh().control(cls="^Edit$")["text"] == "!set by kebdrive", 10,
                       what="the typed character")
    window.close()
    # Closing a changed document asks first; "No" discards it and Notepad ends.
    question = program.window(cls="^#32770$")
    assert question.buttons[:2] == ["Yes", "No"], question.controls
    question.click(text="^No$")
    assert program.wait(10) == 0


def test_shortcut_opens_a_dialog_whose_combo_box_is_chosen_and_cancelled(session, notepad):
    program, window = notepad
    # Ctrl+S needs the real keyboard state: only SendInput gives it.
    window.keys(vk="CONTROL+S", real=True)
    dialog = program.window(title="^Save As$", cls="^#32770$")
    encoding = dialog.control(id=401, cls="^ComboBox$")
    assert encoding["items"][0] == "ANSI Latin 1" and "Unicode (UTF-8)" in encoding["items"]
    answer = dialog.choose(item="Unicode (UTF-8)", id=401)
    assert answer["text"] == "Unicode (UTF-8)"
    assert dialog.refresh().control(id=401, cls="^ComboBox$")["selected"] == encoding["items"].index("Unicode (UTF-8)")
    dialog.click(text="^Cancel$")
    dialog.wait_gone()
    assert program.returncode is None
