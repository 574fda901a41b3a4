#!/usr/bin/env python3
"""Checks a 32-bit Windows build: the export tables of the provisioning
program and of the DLL against expected_exports.txt, and the program's
resources (the MAINMENU template, decompiled, against expected_mainmenu.rc;
the group icon TARNWICK_ICON).

    check_windows_build.py BUILD_DIR      (a mingw-i686 build)

The MAINMENU styles, decoded: dialog 0xc80ac8 = WS_CAPTION | WS_SYSMENU |
DS_CENTER | DS_SETFOREGROUND | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS;
button 0x50010000 = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
static 0x50020002 = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_RIGHT; edit
0x50810084 = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP |
ES_AUTOHSCROLL | ES_MULTILINE.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def tool(name, *args):
    return subprocess.run([f"i686-w64-mingw32-{name}", *args], check=True, capture_output=True,
                          text=True).stdout


def read(name):
    with open(os.path.join(HERE, name)) as f:
        return f.read()


def exported_names(path):
    table = tool("objdump", "-p", path).partition("[Ordinal/Name Pointer] Table")[2]
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", table, re.M))


def check(label, holds, found):
    print(f"{label}: {'as expected' if holds else 'differs; found: ' + str(found)}")
    return holds


def main():
    build = sys.argv[1]
    program = os.path.join(build, "app", "win32", "OrvantaIOTProvision.exe")
    library = os.path.join(build, "passthru", "orvanta_passthru.dll")
    expected = set(re.findall(r"^\w+(?:@\d+)?$", read("expected_exports.txt"), re.M))
    aliases = {name.split("@")[0] for name in expected if "@" in name}
    ok = True
    checks = [("program exports", program, expected), ("DLL exports", library, expected | aliases)]
    # The adapter tool is no pass-thru library: it exports nothing.
    adapter = os.path.join(build, "app", "orvanta-adapter.exe")
    if os.path.exists(adapter):
        checks.append(("adapter tool exports", adapter, set()))
    for label, path, want in checks:
        names = exported_names(path)
        ok = check(label, names == want, sorted(names ^ want)) and ok
    resources = tool("windres", "-J", "coff", "-O", "rc", "-i", program)
    block = re.search(r'^"MAINMENU" DIALOG.*?^END$', resources, re.S | re.M)
    found = block.group(0).strip() if block else "(no MAINMENU dialog)"
    ok = check("MAINMENU template", found == read("expected_mainmenu.rc").strip(), found) and ok
    icon = re.search(r'^"TARNWICK_ICON" 14 /\* RT_GROUP_ICON \*/', resources, re.M)
    ok = check("group icon TARNWICK_ICON", icon is not None, "none") and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
