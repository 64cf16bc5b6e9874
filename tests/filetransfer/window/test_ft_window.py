"""The file-transfer window of KEBviewer.exe under Wine against the scripted server's
file-transfer side: opened from the frame's system menu, the remote drive and folder
listed, a file downloaded into the local folder and one uploaded from it (bytes compared
on both sides), the session ended when the window closes; and a server that refuses file
transfer leaves the window with nothing to send or receive."""
import os
import random
import shutil

import kebwine
import rfbserver
from displaytest import frame
from rfboracle.filetransfer import FileTransferServer

WM_SYSCOMMAND = 0x112
FILE_TRANSFER_COMMAND = 50100
TITLE = r"^ File Transfer with < "
SEND, RECEIVE, STATUS, LOCAL_PATH, REMOTE_PATH = 1029, 1032, 1036, 1039, 1041
LOCAL_LIST, REMOTE_LIST, LOCAL_DRIVES, LOCAL_ROOT, REMOTE_ROOT = 1063, 1064, 1065, 1067, 1069
LOCAL_COUNT, REMOTE_COUNT, HISTORY, CLOSE = 1072, 1073, 1077, 2
REMOTE_DRIVES, REMOTE_UP = 1066, 1070
DELETE, NEW_FOLDER, RENAME, INPUT_TEXT, OK = 1111, 1112, 1142, 1191, 1
CONFIRM_TEXT, YES, NO = 1192, 6, 7
STOP = 1038
# File transfer and chat come with the version of a server that announces its extensions.
EXTENSIONS = "RFB 003.006\n"
WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK = 0x201, 0x202, 0x203
FIRST_ROW = (32 << 16) | 40     # client coordinates of the first row, below the header


def noise(n, seed):
    r = random.Random(seed)
    return bytes(r.getrandbits(8) for _ in range(n))


def serving(remote_root, refuse=False, name="ft test"):
    holder = {}

    def scenario(s):
        s.handshake(width=64, height=48, name=name, version=EXTENSIONS)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 48}])
        ft = FileTransferServer(s, str(remote_root), version=3, refuse_access=refuse)
        holder["ft"] = ft
        ft.serve(seconds=140)

    srv = rfbserver.Server(scenario, timeout=150, quiet=True).start()
    return srv, holder


def point_documents_at(session, folder):
    """The Wine user's Documents folder (the window's "My Documents") becomes folder."""
    users = os.path.join(str(session.prefix), "drive_c", "users")
    for user in sorted(os.listdir(users)):
        docs = os.path.join(users, user, "Documents")
        if user == "Public" or not os.path.lexists(docs):
            continue
        if os.path.islink(docs) or os.path.isfile(docs):
            os.unlink(docs)
        else:
            shutil.rmtree(docs)
        os.symlink(str(folder), docs)


def text(window, id):
    return window.refresh().control(id=id)["text"]


def wait_text(window, id, expected, timeout=30, what=lambda: ""):
    return kebwine.wait_until(lambda: text(window, id) == expected, timeout,
                              what="control %d showing %r (now %r) %s" % (id, expected, text(window, id), what()))


def wait_local_count(window, folder, timeout=30):
    """The local count line matches the folder's entries and its parent (".."); the
    viewer may keep a folder of its own in Documents."""
    def line():
        return " > %d File(s)/Folder(s)" % (len(os.listdir(str(folder))) + 1)
    return kebwine.wait_until(lambda: text(window, LOCAL_COUNT) == line(), timeout,
                              what="%r (now %r)" % (line(), text(window, LOCAL_COUNT)))


def history(window):
    return window.refresh().control(id=HISTORY).get("items", [])


def wait_history(window, part, timeout=60):
    return kebwine.wait_until(lambda: any(part in line for line in history(window)), timeout,
                              what="%r in the history (now %r)" % (part, history(window)))


def open_window(viewer, srv):
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program).post(WM_SYSCOMMAND, wparam=FILE_TRANSFER_COMMAND)
    return program, program.window(title=TITLE, timeout=30)


def folders(session, tmp_path):
    """The server's folder (its drive C:) and the local one (the Wine user's Documents)."""
    remote, local = tmp_path / "remote", tmp_path / "local"
    remote.mkdir()
    local.mkdir()
    point_documents_at(session, local)
    return remote, local


def connected(viewer, remote):
    """The viewer with its file-transfer window open and access granted."""
    srv, holder = serving(remote)
    program, window = open_window(viewer, srv)
    wait_text(window, STATUS, "Connected...")
    return program, window, holder


def list_documents(window, local):
    """The local side shows "My Documents" (the local folder)."""
    window.choose(item="[ My Documents ]", id=LOCAL_DRIVES)
    window.click(id=LOCAL_ROOT)
    wait_local_count(window, local)


def test_download_and_upload_through_the_window(viewer, session, tmp_path):
    remote, local = folders(session, tmp_path)
    down = noise(70000, 1)          # nine blocks, the last one short
    up = noise(30000, 2) + bytes(20000)
    (remote / "remote-data.bin").write_bytes(down)
    (local / "upload-data.bin").write_bytes(up)

    # The access probe one second after opening; the drive list follows the answer.
    program, window, holder = connected(viewer, remote)
    assert window.title == " File Transfer with < ft test>  -  Quillmar Remote"
    assert any(line.endswith(" - Connecting. Please Wait...") for line in history(window))
    assert window.control(id=SEND)["enabled"] is False

    # The remote drive chosen in its combo, listed with "\".
    assert window.control(id=REMOTE_DRIVES)["items"][0] == "[ C: ] - Local Disk"
    window.click(id=REMOTE_ROOT)
    wait_text(window, REMOTE_COUNT, " > 1 File(s)/Folder(s)")
    assert text(window, REMOTE_PATH) == "C:\\"
    list_documents(window, local)
    assert text(window, LOCAL_PATH).endswith("\\Documents\\")
    assert window.control(id=SEND)["enabled"] and window.control(id=RECEIVE)["enabled"]

    # Download: the remote file selected by typing its name, then "<< Receive".
    window.keys(chars="remote-data", id=REMOTE_LIST)
    window.click(id=RECEIVE)
    wait_history(window, "Transfer completed")
    assert any("File < remote-data.bin > successfully RECEIVED..." in line for line in history(window))
    assert (local / "remote-data.bin").read_bytes() == down
    assert not [p.name for p in local.iterdir() if p.name.startswith("!ZELKPFT-")]
    # The local list shows the new file.
    wait_local_count(window, local)

    # Received again: the question comes first; No takes nothing, Yes overwrites (only a
    # partial "!ZELKPFT-" file would be resumed).
    ft = holder["ft"]
    requests = lambda: [e for e in ft.events if e[0] == "download-request"]
    for answer in (NO, YES):
        click_first_row(window, REMOTE_LIST)
        window.click(id=RECEIVE)
        question = program.window(title="^File Transfer Warning$", timeout=20)
        assert question.control(id=CONFIRM_TEXT)["text"].replace("\r\n", "\n") == (
            "File < remote-data.bin >\n\nalready exists on LOCAL machine.\n\n"
            " Do you want to overwrite it or resume the transfer?\n")
        question.click(id=answer)
        question.wait_gone(timeout=20)
    kebwine.wait_until(lambda: len(requests()) == 2, 30, what="the second download")
    wait_history(window, "Transfer completed")
    kebwine.wait_until(lambda: ft.events[-1][0] == "download-sent", 30, what="the resumed download")
    assert ft.events[-1][3] == len(down) and not [e for e in ft.events if e[0] == "checksums"]
    assert (local / "remote-data.bin").read_bytes() == down

    # Upload: the local file, then "Send >>".
    window.keys(chars="upload-data", id=LOCAL_LIST)
    window.click(id=SEND)
    kebwine.wait_until(lambda: (remote / "upload-data.bin").exists()
                       and (remote / "upload-data.bin").read_bytes() == up, 60, what="the uploaded file at the server")
    wait_history(window, "successfully SENT...")
    # The remote folder is listed again after the batch.
    wait_text(window, REMOTE_COUNT, " > 2 File(s)/Folder(s)")
    assert window.refresh().control(id=SEND)["visible"]

    # Close ends the file-transfer session (version 3); the connection goes on.
    window.click(id=CLOSE)
    window.wait_gone(timeout=20)
    ft = holder["ft"]
    kebwine.wait_until(lambda: ("session-end",) in ft.events, 20, what="the session end")
    kinds = [e[0] for e in ft.events]
    assert kinds[:2] == ["access", "session-start"] and "drives" in kinds
    frame(program, timeout=20)
    assert program.proc.poll() is None

    # Opened anew, the window lists the local folder it showed last.
    frame(program).post(WM_SYSCOMMAND, wparam=FILE_TRANSFER_COMMAND)
    window = program.window(title=TITLE, timeout=30)
    assert text(window, LOCAL_PATH).endswith("\\Documents\\")
    wait_local_count(window, local)
    window.click(id=CLOSE)
    window.wait_gone(timeout=20)


def double_click_first_row(window, id):
    """A double click on the list's first row (below its column header)."""
    window._call("post", id=id, msg=WM_LBUTTONDBLCLK, wparam=1, lparam=FIRST_ROW)


def click_first_row(window, id):
    """A click on the list's first row: the list takes the focus and selects the row."""
    window._call("post", id=id, msg=WM_LBUTTONDOWN, wparam=1, lparam=FIRST_ROW)
    window._call("post", id=id, msg=WM_LBUTTONUP, wparam=0, lparam=FIRST_ROW)


def answer_input(program, title, value):
    """Types value into the one-line input dialog titled title and presses OK (which is
    disabled until the text holds more than blanks)."""
    dialog = program.window(title=title, timeout=20)
    assert dialog.control(id=OK)["enabled"] is False
    dialog.set_text(" \t ", id=INPUT_TEXT)
    assert dialog.refresh().control(id=OK)["enabled"] is False
    dialog.set_text(value, id=INPUT_TEXT)
    kebwine.wait_until(lambda: dialog.refresh().control(id=OK)["enabled"], 10, what="OK enabled")
    dialog.click(id=OK)
    dialog.wait_gone(timeout=20)


def confirm(program, heading):
    box = program.box(heading=heading)
    box.click(text="^OK$")
    box.wait_gone(timeout=20)


def test_folders_browsed_and_a_folder_received(viewer, session, tmp_path):
    remote, local = folders(session, tmp_path)
    (remote / "a-folder" / "deeper").mkdir(parents=True)
    inner, deep = b"inside the folder\r\n" * 300, noise(20000, 3)
    (remote / "a-folder" / "inner.txt").write_bytes(inner)
    (remote / "a-folder" / "deeper" / "x.bin").write_bytes(deep)
    (remote / "b-file.bin").write_bytes(b"b")
    program, window, holder = connected(viewer, remote)

    # The drive list: a double click on "[ C: ]" lists the drive.
    double_click_first_row(window, REMOTE_LIST)
    wait_text(window, REMOTE_PATH, "C:\\")
    wait_text(window, REMOTE_COUNT, " > 2 File(s)/Folder(s)")
    # The folder (first by name), then ".." back up; "\\" from inside goes to the drive's root.
    double_click_first_row(window, REMOTE_LIST)
    wait_text(window, REMOTE_PATH, "C:\\a-folder\\")
    wait_text(window, REMOTE_COUNT, " > 2 File(s)/Folder(s)")
    window.click(id=REMOTE_UP)
    wait_text(window, REMOTE_PATH, "C:\\")
    double_click_first_row(window, REMOTE_LIST)
    wait_text(window, REMOTE_PATH, "C:\\a-folder\\")
    window.click(id=REMOTE_ROOT)
    wait_text(window, REMOTE_PATH, "C:\\")
    wait_text(window, REMOTE_COUNT, " > 2 File(s)/Folder(s)")
    lists = [e[1] for e in holder["ft"].events if e[0] == "list"]
    assert lists == ["C:\\", "C:\\a-folder\\", "C:\\", "C:\\a-folder\\", "C:\\"]

    # The folder chosen with Home and received: the server packs it, the viewer unpacks it
    # into the local folder and deletes the archive.
    list_documents(window, local)
    window.keys(vk="HOME", id=REMOTE_LIST)
    window.click(id=RECEIVE)
    wait_history(window, "Transfer completed")
    assert (local / "a-folder" / "inner.txt").read_bytes() == inner
    assert (local / "a-folder" / "deeper" / "x.bin").read_bytes() == deep
    assert not [p.name for p in local.iterdir() if p.name.startswith("!ZELK")]
    assert any("Remote Folder < a-folder > successfully RECEIVED..." in line for line in history(window))
    wait_local_count(window, local)


def test_rename_create_and_delete_on_both_sides(viewer, session, tmp_path):
    remote, local = folders(session, tmp_path)
    (remote / "b-old.txt").write_bytes(b"old")
    (local / "zz-local.txt").write_bytes(b"local")
    program, window, holder = connected(viewer, remote)
    double_click_first_row(window, REMOTE_LIST)
    wait_text(window, REMOTE_COUNT, " > 1 File(s)/Folder(s)")

    # The remote list has the focus: the commands say so and act on the server's folder.
    click_first_row(window, REMOTE_LIST)
    wait_text(window, RENAME, "Rename ->")
    assert text(window, DELETE) == "Delete ->" and text(window, NEW_FOLDER) == "New Folder ->"
    window.click(id=RENAME)
    answer_input(program, "^File & Directory Rename$", "c-new.txt")
    kebwine.wait_until(lambda: sorted(os.listdir(str(remote))) == ["c-new.txt"], 20, what="the remote rename")
    wait_history(window, "Renamed REMOTE < C:\\b-old.txt > to < C:\\c-new.txt >")

    click_first_row(window, REMOTE_LIST)      # c-new.txt, selected again after the next listing
    window.click(id=NEW_FOLDER)
    answer_input(program, "^Create New Folder$", "made-here")
    kebwine.wait_until(lambda: (remote / "made-here").is_dir(), 20, what="the remote folder")
    wait_history(window, "Folder < C:\\made-here > has been created on the Remote Machine")
    wait_text(window, REMOTE_COUNT, " > 2 File(s)/Folder(s)")

    window.click(id=DELETE)
    confirm(program, "^Are you sure you want to Delete the REMOTE File$")
    kebwine.wait_until(lambda: sorted(os.listdir(str(remote))) == ["made-here"], 20, what="the remote deletion")
    wait_history(window, "File < C:\\c-new.txt > has been deleted on the Remote Machine")
    assert [e[1:] for e in holder["ft"].events if e[0] == "command"] == [
        (5, "C:\\b-old.txt*C:\\c-new.txt"), (1, "C:\\made-here"), (4, "C:\\c-new.txt")]

    # The local side.
    list_documents(window, local)
    click_first_row(window, LOCAL_LIST)
    wait_text(window, NEW_FOLDER, "<- New Folder")
    window.click(id=NEW_FOLDER)
    answer_input(program, "^Create New Folder$", "local-made")
    kebwine.wait_until(lambda: (local / "local-made").is_dir(), 20, what="the local folder")
    wait_history(window, "Local Folder < ")
    wait_local_count(window, local)

    window.keys(chars="zz-local", id=LOCAL_LIST)
    window.click(id=RENAME)
    answer_input(program, "^File & Directory Rename$", "zz-renamed.txt")
    renamed = local / "zz-renamed.txt"
    # Until the rename has happened the file is not there yet.
    kebwine.wait_until(lambda: renamed.is_file() and renamed.read_bytes() == b"local", 20, what="the local rename")
    assert not (local / "zz-local.txt").exists()
    wait_history(window, "Renamed LOCAL < ")
    wait_local_count(window, local)

    window.keys(vk="END", id=LOCAL_LIST)     # the last entry by name
    window.click(id=DELETE)
    confirm(program, "^Are you sure you want to Delete the LOCAL File$")
    kebwine.wait_until(lambda: not (local / "zz-renamed.txt").exists(), 20, what="the local deletion")
    wait_history(window, "zz-renamed.txt > has been Deleted")


def click_header(window, index, x):
    """A click on the column header of the index-th list (0 local, 1 remote) at x."""
    header = window.refresh().control(cls="^SysHeader32$", index=index)["hwnd"]
    for msg, wparam in ((WM_LBUTTONDOWN, 1), (WM_LBUTTONUP, 0)):
        window.session.driver.call("post", hwnd=header, msg=msg, wparam=wparam, lparam=(8 << 16) | x)


def first_remote_row_by_delete_question(program, window):
    """What the delete question names for the remote list's first row (then cancelled)."""
    click_first_row(window, REMOTE_LIST)
    window.click(id=DELETE)
    box = program.box(heading="^Are you sure you want to")
    answer = (box.heading, box.body)
    box.click(text="^Cancel$")
    box.wait_gone(timeout=20)
    return answer


def test_a_column_click_sorts_its_list(viewer, session, tmp_path):
    remote = tmp_path / "remote"
    (remote / "c-folder").mkdir(parents=True)
    (remote / "a-big.bin").write_bytes(bytes(3000))
    (remote / "b-small.bin").write_bytes(bytes(10))
    program, window, holder = connected(viewer, remote)
    double_click_first_row(window, REMOTE_LIST)
    wait_text(window, REMOTE_COUNT, " > 3 File(s)/Folder(s)")
    # Size, ascending first: the folder below every file; then descending: the largest file.
    click_header(window, 1, 166 + 35)
    heading, body = first_remote_row_by_delete_question(program, window)
    assert heading == "Are you sure you want to delete the REMOTE folder" and "C:\\c-folder" in body
    click_header(window, 1, 166 + 35)
    heading, body = first_remote_row_by_delete_question(program, window)
    assert heading == "Are you sure you want to Delete the REMOTE File" and "C:\\a-big.bin" in body
    # Name (the list text: "[ " puts folders before letters), ascending, then descending.
    click_header(window, 1, 40)
    assert "C:\\c-folder" in first_remote_row_by_delete_question(program, window)[1]
    click_header(window, 1, 40)
    assert "C:\\b-small.bin" in first_remote_row_by_delete_question(program, window)[1]
    assert not [e for e in holder["ft"].events if e[0] == "command"]


def test_connection_lost_during_a_download_ends_the_viewer(viewer, session, tmp_path):
    """The server goes away when the download is asked for: no reconnect follows a lost
    file transfer, so the frame and the open file-transfer window close and the program
    ends without a fault."""
    remote, local = folders(session, tmp_path)
    (remote / "remote-data.bin").write_bytes(noise(50000, 4))
    seen = []

    def scenario(s):
        s.handshake(width=64, height=48, name="ft test", version=EXTENSIONS)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 48}])
        ft = FileTransferServer(s, str(remote), version=3)
        for _ in range(100):
            m = ft.next(timeout=60)
            seen.append(m["content_type"])
            if m["content_type"] == 3:
                break
            ft.handle(m)
        s.close()

    srv = rfbserver.Server(scenario, timeout=150, quiet=True).start()
    program, window = open_window(viewer, srv)
    wait_text(window, STATUS, "Connected...")
    double_click_first_row(window, REMOTE_LIST)
    wait_text(window, REMOTE_COUNT, " > 1 File(s)/Folder(s)")
    list_documents(window, local)
    click_first_row(window, REMOTE_LIST)
    window.click(id=RECEIVE)
    kebwine.wait_until(lambda: program.returncode is not None, 60, what="the program to end")
    assert seen[-1] == 3
    assert program.returncode == 0
    assert "Unhandled" not in program.text_output()


def test_the_panes_share_a_larger_window(viewer, session, tmp_path):
    remote = tmp_path / "remote"
    remote.mkdir()
    program, window, holder = connected(viewer, remote)

    def rects():
        w = window.refresh()
        return {id: w.control(id=id)["rect"] for id in (LOCAL_LIST, REMOTE_LIST, HISTORY, CLOSE, REMOTE_ROOT)}

    def width(r):
        return r[2] - r[0]

    def height(r):
        return r[3] - r[1]

    before = rects()
    window.post(WM_SYSCOMMAND, wparam=0xF030)      # SC_MAXIMIZE
    kebwine.wait_until(lambda: width(rects()[REMOTE_LIST]) > width(before[REMOTE_LIST]) + 100, 20,
                       what="the lists to widen")
    after = rects()
    assert abs(width(after[LOCAL_LIST]) - width(after[REMOTE_LIST])) <= 1
    assert height(after[LOCAL_LIST]) == height(after[REMOTE_LIST]) > height(before[LOCAL_LIST]) + 100
    # The remote pane starts after the local one; its buttons, the history and Close follow
    # the window's right edge, and the row below the lists follows their bottom.
    assert after[REMOTE_LIST][0] > after[LOCAL_LIST][2]
    assert after[REMOTE_ROOT][2] <= after[REMOTE_LIST][2] + 2 and after[CLOSE][2] == after[HISTORY][2] + (
        before[CLOSE][2] - before[HISTORY][2])
    assert after[HISTORY][1] > after[LOCAL_LIST][3]
    window.post(WM_SYSCOMMAND, wparam=0xF120)      # SC_RESTORE
    kebwine.wait_until(lambda: rects() == before, 20, what="the template's places again")


def test_stop_ends_a_paced_upload(viewer, session, tmp_path):
    """With the window minimised the upload yields 50 ms between blocks; Stop then ends it:
    the server is told with an abort and the status says the user interrupted it."""
    remote, local = folders(session, tmp_path)
    big = noise(2 * 1024 * 1024, 5)            # 256 blocks: about 13 s when paced
    (local / "zz-big.bin").write_bytes(big)
    program, window, holder = connected(viewer, remote)
    double_click_first_row(window, REMOTE_LIST)
    wait_text(window, REMOTE_PATH, "C:\\")
    list_documents(window, local)
    window.keys(vk="END", id=LOCAL_LIST)
    window.post(WM_SYSCOMMAND, wparam=0xF020)      # SC_MINIMIZE
    window.click(id=SEND)
    ft = holder["ft"]
    kebwine.wait_until(lambda: any(e[0] == "offer" for e in ft.events), 20, what="the upload offer")
    kebwine.wait_until(lambda: window.refresh().control(id=STOP)["visible"], 20, what="Stop shown")
    # Stopped once some of it has arrived (all of it takes seconds more).
    kebwine.wait_until(lambda: [m for m in ft.s.messages_of("FileTransfer") if m["content_type"] == 5], 20,
                       what="the first block of the upload")
    window.click(id=STOP)
    kebwine.wait_until(lambda: any(e[0] == "upload-aborted" for e in ft.events), 30, what="the abort at the server")
    aborted = [e for e in ft.events if e[0] == "upload-aborted"][0]
    assert aborted[1] == "C:\\zz-big.bin" and 0 < aborted[2] < len(big)
    wait_history(window, "Transfer interrupted by user")
    assert not (remote / "zz-big.bin").exists()


def test_refused_access_leaves_nothing_to_transfer(viewer, session, tmp_path):
    remote = tmp_path / "remote"
    remote.mkdir()
    srv, holder = serving(remote, refuse=True)
    program, window = open_window(viewer, srv)
    wait_text(window, STATUS, "> WARNING: File Transfer is Disabled on the Remote Machine")
    window.refresh()
    assert window.control(id=REMOTE_DRIVES)["items"] == []
    for id in (SEND, RECEIVE, LOCAL_LIST, REMOTE_LIST, REMOTE_ROOT):
        assert window.control(id=id)["enabled"] is False, id
    assert window.control(id=CLOSE)["visible"]
    window.click(id=CLOSE)
    window.wait_gone(timeout=20)
    # Nothing but the probe and, protocol version 3, the session end.
    kebwine.wait_until(lambda: ("session-end",) in holder["ft"].events, 20, what="the session end")
    assert [e[0] for e in holder["ft"].events] == ["access", "session-end"]
