"""The Listen page's button: the viewer saves its settings, starts itself again in
listening mode and ends. A file of its own, so that the listening instance ends with this
file's Wine session."""
import kebwine

DIALOG_TITLE = r"^Quillmar Remote - \d+\.\d+\.\d+\.\d+$"


def test_listen_button_starts_a_listening_instance(viewer, program_dir, session):
    port = kebwine.free_tcp_port()
    program = viewer()
    dialog = program.window(title=DIALOG_TITLE, timeout=30)
    dialog.click(text="^Options$")
    kebwine.wait_until(lambda: any(c["id"] == 3140 for c in dialog.refresh().controls) or None, 10,
                       what="the option pages")
    dialog.set_text(str(port), id=3140)  # listening port, on the Listen page
    dialog.click(id=3141, how="command")
    assert program.wait(20) == 1
    kebwine.wait_until(lambda: kebwine.port_accepts(port) or None, 20, what="the new instance to listen on %d" % port)
    assert "ListenPort=%d" % port in (program_dir / "options.keb").read_text()
    daemons = session.windows(title="^KEBviewer Daemon$", hidden=True)
    assert daemons and daemons[0].pid != program.pid
