"""KEBviewer.exe as a file: a 64-bit Windows GUI program that runs on a plain Windows
(system DLLs only), with its manifest (common controls 6) and version resource.
Read with the MinGW binutils; no Wine needed."""
import os
import re
import subprocess
import xml.etree.ElementTree as ET

import pytest

import kebwine

OBJDUMP = "x86_64-w64-mingw32-objdump"
WINDRES = "x86_64-w64-mingw32-windres"

# DLLs every 64-bit Windows (7 and later) has in its system folder. A DLL that is not
# here (libstdc++-6.dll, libwinpthread-1.dll, zlib1.dll, msvcr120.dll ...) would have to
# be shipped with the program.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "gdiplus.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll",
    "shlwapi.dll", "advapi32.dll", "crypt32.dll", "cryptui.dll", "secur32.dll", "imm32.dll", "winmm.dll",
    "version.dll", "ws2_32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll", "ntdll.dll", "uxtheme.dll",
    "dwmapi.dll", "d3d9.dll", "bcrypt.dll", "rpcrt4.dll", "msimg32.dll", "setupapi.dll", "userenv.dll",
    "iphlpapi.dll", "winspool.drv", "psapi.dll", "dbghelp.dll", "wtsapi32.dll", "netapi32.dll", "mpr.dll",
}


@pytest.fixture(scope="module")
def exe():
    path = kebwine.viewer_exe()
    if not path.exists():
        pytest.skip("KEBviewer.exe is not built: %s" % path)
    return path


def run(*argv):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, check=True,
                          universal_newlines=True).stdout


@pytest.fixture(scope="module")
def headers(exe):
    return run(OBJDUMP, "-p", str(exe))


@pytest.fixture(scope="module")
def resources(exe):
    r = subprocess.run([WINDRES, "-i", str(exe), "-O", "rc"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=60, universal_newlines=True)
    if r.returncode != 0:
        pytest.fail("the program's resources cannot be read: %s" % r.stderr.strip())
    return r.stdout


def project_version():
    version = os.environ.get("KEB_PROJECT_VERSION")
    if not version:
        cache = kebwine.BINARY_DIR / "CMakeCache.txt"
        found = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", cache.read_text(), re.M) if cache.exists() else None
        if not found:
            pytest.skip("the project version is unknown (no KEB_PROJECT_VERSION, no CMakeCache.txt)")
        version = found.group(1)
    return [int(part) for part in version.split(".")] + [0] * (4 - len(version.split(".")))


def test_is_a_64_bit_windows_gui_program(headers):
    assert "file format pei-x86-64" in headers
    assert re.search(r"^Magic\s+020b\s+\(PE32\+\)", headers, re.M), headers[:2000]
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", headers, re.M)


def test_imports_only_windows_system_dlls(headers):
    imported = {name.lower() for name in re.findall(r"^\s*DLL Name: (\S+)", headers, re.M)}
    assert "kernel32.dll" in imported and "user32.dll" in imported
    foreign = sorted(n for n in imported if n not in SYSTEM_DLLS and not n.startswith("api-ms-win-"))
    assert not foreign, "imports DLLs that Windows does not have: %s" % foreign


def rc_block(resources, header):
    """The lines between BEGIN and its END after a header line of `windres -O rc`."""
    found = re.search(r"^" + header + r"[^\n]*\n(.*?)^END$", resources, re.M | re.S)
    assert found, "no resource %r in the program" % header
    return found.group(1)


def test_manifest_asks_for_common_controls_6(resources):
    block = rc_block(resources, r"1 24 ")
    # The manifest comes as C-like string pieces with doubled quotes.
    text = "".join(bytes(piece.replace('""', '"'), "utf-8").decode("unicode_escape")
                   for piece in re.findall(r'^\s*"(.*)"\s*$', block, re.M))
    root = ET.fromstring(text)
    ns = {"a": "urn:schemas-microsoft-com:asm.v1"}
    deps = [d.attrib for d in root.findall("a:dependency/a:dependentAssembly/a:assemblyIdentity", ns)]
    controls = [d for d in deps if d.get("name") == "Microsoft.Windows.Common-Controls"]
    assert len(controls) == 1, deps
    assert controls[0].get("version") == "6.0.0.0"
    assert controls[0].get("processorArchitecture") in ("amd64", "*")
    assert controls[0].get("publicKeyToken") == "6595b64144ccf1df"


def test_version_resource_carries_the_project_version(resources):
    want = project_version()
    block = rc_block(resources, r"1 VERSIONINFO")
    fixed = re.search(r"FILEVERSION (\d+), (\d+), (\d+), (\d+)", resources)
    assert fixed and [int(x) for x in fixed.groups()] == want, fixed and fixed.group(0)
    product = re.search(r"PRODUCTVERSION (\d+), (\d+), (\d+), (\d+)", resources)
    assert product and [int(x) for x in product.groups()] == want
    values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', block))
    assert [int(x) for x in values["FileVersion"].split(".")] == want, values
    assert values["OriginalFilename"] == "KEBviewer.exe"
    # Explorer shows the string block whose language and code page the translation names.
    lang = re.search(r'BLOCK "([0-9a-fA-F]{8})"', block).group(1)
    translation = re.search(r'VALUE "Translation", (0x[0-9a-fA-F]+), (\d+)', block)
    assert int(lang[:4], 16) == int(translation.group(1), 16) and int(lang[4:], 16) == int(translation.group(2))


def test_program_icon_101_is_present(resources):
    # Task dialogs without a standard icon show the program's own, resource 101.
    assert re.search(r"^101 14 ", resources, re.M), "no group icon 101"
