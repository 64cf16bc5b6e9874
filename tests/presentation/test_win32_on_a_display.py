"""The Win32 presentation tests (Direct3D surfaces and their presentation check, the
monitor table) need a display: without one they skip. Here they run on the session's
Xvfb, where every one of them must run and pass. Wine 8 makes a Direct3D 9 device on
Mesa's llvmpipe there, so none is skipped for want of one."""

import json

import pytest

import kebwine


def test_the_presentation_tests_run_and_pass_on_a_display(session, tmp_path):
    exe = kebwine.BINARY_DIR / "tests" / "win32_presentation.exe"
    if not exe.exists():
        pytest.skip("win32_presentation.exe is not built: %s" % exe)
    report = tmp_path / "report.json"
    program = session.start(exe, "--gtest_output=json:%s" % kebwine.win_path(report))
    try:
        code = program.wait(120)
    except kebwine.Timeout as e:
        # Which test it is in shows in its output so far.
        raise AssertionError("%s; output so far:\n%s" % (e, program.text_output()[-4000:]))
    output = program.text_output()
    print(output[-4000:])
    assert code == 0, output[-4000:]
    results = json.loads(report.read_text())
    ran = [(suite["name"], t["name"], t.get("result")) for suite in results["testsuites"] for t in suite["testsuite"]]
    skipped = [r for r in ran if r[2] != "COMPLETED"]
    assert ran and not skipped, skipped
    # What the child window (the kind of window the viewer presents into) showed.
    assert "presentation to a child window:" in output
