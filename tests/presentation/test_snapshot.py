"""Taking a snapshot from the frame's system menu under Wine: the file, named from the
folder, the prefix and the time, holds the picture TigerVNC's Xvnc shows (exactly in PNG
and BMP, closely in JPEG, in 256 colours in GIF); a folder written with an environment variable is expanded;
with no prefix set the settings dialog asks for it first, and cancelling it saves nothing."""

import re
import time

import numpy as np
import pytest
from PIL import Image

import kebwine
from displaytest import exact, frame, point_away, stripes, wait_picture, write_options

W, H = 320, 200
WM_SYSCOMMAND = 0x0112
TAKE_SNAPSHOT = 50110
# Wine's 8-bit copy takes a fixed palette: the stripes keep about 25 dB in it (21
# colours); a wrong or shifted picture stays far below.
GIF_PSNR = 22
NAME = re.compile(r"^(?P<prefix>.+)_(?P<stamp>\d{8}_\d{6})(?P<ext>\.\w+)$")


@pytest.fixture(scope="module")
def xvnc(session):
    server = session.xvnc(W, H, 24)
    server.show_image(stripes(W, H))
    point_away(server)
    return server


def snapshots(folder):
    return sorted(p for p in folder.iterdir() if p.is_file()) if folder.exists() else []


def wait_snapshot(folder, count=1, timeout=30):
    """The snapshot files once `count` of them exist and the last is written whole: it
    reads as a complete picture, at the size it had at the look before."""
    sizes = []

    def done():
        files = snapshots(folder)
        if len(files) < count:
            return None
        sizes.append(files[-1].stat().st_size)
        if len(sizes) < 2 or sizes[-1] != sizes[-2] or not sizes[-1]:
            return None
        try:
            with Image.open(str(files[-1])) as picture:
                picture.load()
        except (OSError, SyntaxError):
            return None
        return files
    return kebwine.wait_until(done, timeout, interval=0.1, what="%d snapshot file(s) in %s" % (count, folder))


def connect(viewer, program_dir, xvnc, tmp_path, **keys):
    write_options(program_dir, ["raw"], AutoScaling=0, **keys)
    program = viewer("127.0.0.1::%d" % xvnc.port)
    window = frame(program)
    wait_picture(window, xvnc.screenshot(), exact, save_to=tmp_path / "view")
    return program, window


def image(path):
    return np.array(Image.open(str(path)).convert("RGB"))


@pytest.mark.parametrize("extension,same", [
    (".png", exact),
    (".bmp", exact),
    # The stripes' sharp blue steps cost JPEG detail (about 27 dB); a wrong or shifted
    # picture stays far below.
    (".jpeg", lambda a, b: kebwine.psnr(a, b) >= 24),
    # 256 colours: GDI+ saves a GIF only from an 8-bit copy, whose palette costs detail.
    (".gif", lambda a, b: kebwine.psnr(a, b) >= GIF_PSNR),
])
def test_snapshot_holds_the_servers_picture(viewer, program_dir, xvnc, tmp_path, extension, same):
    folder = tmp_path / "shots"
    folder.mkdir()
    program, window = connect(viewer, program_dir, xvnc, tmp_path, folder=kebwine.win_path(folder), prefix="desk",
                              imageFormat=extension)
    before = time.localtime()
    window.post(WM_SYSCOMMAND, TAKE_SNAPSHOT)
    [shot] = wait_snapshot(folder)
    after = time.localtime()
    m = NAME.match(shot.name)
    assert m and m.group("prefix") == "desk" and m.group("ext") == extension, shot.name
    assert time.strftime("%Y%m%d_%H%M%S", before) <= m.group("stamp") <= time.strftime("%Y%m%d_%H%M%S", after)
    picture = image(shot)
    expected = xvnc.screenshot()
    assert picture.shape == expected.shape
    if not same(picture, expected):
        kebwine.save_png(picture, str(tmp_path / "snapshot.png"))
        pytest.fail("the snapshot differs from the server's picture (saved in %s)" % tmp_path)
    assert program.close() == 0


def test_folder_with_an_environment_variable(session, program_dir, xvnc, tmp_path):
    folder = tmp_path / "expanded"
    folder.mkdir()
    write_options(program_dir, ["raw"], AutoScaling=0, folder="%KEB_SNAPSHOTS%", prefix="env", imageFormat=".png")
    program = session.start(program_dir / "KEBviewer.exe", "127.0.0.1::%d" % xvnc.port,
                            env={"KEB_SNAPSHOTS": kebwine.win_path(folder)})
    try:
        window = frame(program)
        wait_picture(window, xvnc.screenshot(), exact, save_to=tmp_path / "view")
        window.post(WM_SYSCOMMAND, TAKE_SNAPSHOT)
        [shot] = wait_snapshot(folder)
        assert shot.name.startswith("env_")
        assert np.array_equal(image(shot), xvnc.screenshot())
    finally:
        assert program.close() == 0


def test_settings_dialog_asks_for_a_missing_prefix(viewer, program_dir, xvnc, tmp_path):
    folder = tmp_path / "asked"
    folder.mkdir()
    program, window = connect(viewer, program_dir, xvnc, tmp_path, folder=kebwine.win_path(folder), prefix="",
                              imageFormat=".png")
    # Cancelled: nothing is saved.
    window.post(WM_SYSCOMMAND, TAKE_SNAPSHOT)
    dialog = program.window(title="^Snapshot settings$")
    assert dialog.control(id=1179)["text"] == kebwine.win_path(folder)
    assert dialog.control(id=1184)["text"] == ""
    dialog.click(text="^Cancel$")
    dialog.wait_gone()

    # Given a prefix, the snapshot is saved under it (the only file: the cancelled one
    # would have been written first), and the next one asks no more.
    window.post(WM_SYSCOMMAND, TAKE_SNAPSHOT)
    dialog = program.window(title="^Snapshot settings$")
    dialog.set_text("mine", id=1184)
    dialog.click(text="^OK$")
    [first] = wait_snapshot(folder)
    assert first.name.startswith("mine_")
    # A name of its own: the clock has moved on to the next second of the name's time.
    kebwine.wait_until(lambda: time.time() >= int(first.stat().st_mtime) + 1, 5, what="the next second")
    window.post(WM_SYSCOMMAND, TAKE_SNAPSHOT)
    files = wait_snapshot(folder, 2)
    assert all(f.name.startswith("mine_") for f in files)
    assert not [w for w in program.windows() if w.title == "Snapshot settings"]
    assert program.close() == 0
