"""The Win32 presentation tests (Direct3D surfaces and their presentation check, the
monitor table) need a display: without one they skip. Here they run on the session's
Xvfb, where every one of them must run and pass. Wine 8 makes a Direct3D 9 device on
Mesa's llvmpipe there, so none is skipped for want of one.

The child-window test runs in a process of its own. Reading back a child window that
Direct3D presents into sometimes deadlocks inside the platform on a busy machine: the
main thread waits in XGetImage (BitBlt from the window) for a reply while Mesa's
presentation on Wine's Direct3D thread handles an X error from XGetGeometry on the
child's drawable, and both wait for the same Xlib display lock (gdb backtraces of the
hung process). The check therefore never reads a child device window (the viewer
presents into an owned pop-up); a hang there means it read one after all, and fails."""

import json

import pytest

import kebwine

CHILD_TEST = "ViewerDirectxTest.PresentationToAChildWindowIsJudged"


def run(session, tmp_path, name, gtest_filter, timeout):
    exe = kebwine.BINARY_DIR / "tests" / "win32_presentation.exe"
    if not exe.exists():
        pytest.skip("win32_presentation.exe is not built: %s" % exe)
    report = tmp_path / ("%s.json" % name)
    program = session.start(exe, "--gtest_filter=%s" % gtest_filter, "--gtest_output=json:%s" % kebwine.win_path(report))
    try:
        code = program.wait(timeout)
    except kebwine.Timeout as e:
        output = program.text_output()
        program.kill()
        return None, output, e
    output = program.text_output()
    print(output[-4000:])
    assert code == 0, output[-4000:]
    results = json.loads(report.read_text())
    ran = [(suite["name"], t["name"], t.get("result")) for suite in results["testsuites"] for t in suite["testsuite"]]
    skipped = [r for r in ran if r[2] != "COMPLETED"]
    assert ran and not skipped, skipped
    return code, output, None


def test_the_presentation_tests_run_and_pass_on_a_display(session, tmp_path):
    code, output, hung = run(session, tmp_path, "all", "-" + CHILD_TEST, 120)
    # Which test it is in shows in its output so far.
    assert hung is None, "%s; output so far:\n%s" % (hung, output[-4000:])


def test_a_child_window_is_judged(session, tmp_path):
    code, output, hung = run(session, tmp_path, "child", CHILD_TEST, 60)
    assert hung is None, "%s; output so far:\n%s" % (hung, output[-4000:])
    assert "presentation to a child window: not read back" in output
