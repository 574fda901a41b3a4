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
TRIPLE = "i686-w64-mingw32"


def expected_exports():
    with open(os.path.join(HERE, "expected_exports.txt")) as f:
        return {line.strip() for line in f if line.strip() and not line.startswith("#")}


def exported_names(path):
    text = subprocess.run([f"{TRIPLE}-objdump", "-p", path], check=True, capture_output=True,
                          text=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return set()
    names = set()
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
        if not match:
            break
        names.add(match.group(1))
    return names


def compare(label, actual, expected):
    missing = sorted(expected - actual)
    extra = sorted(actual - expected)
    for name in missing:
        print(f"{label}: missing export {name}")
    for name in extra:
        print(f"{label}: unexpected export {name}")
    if not missing and not extra:
        print(f"{label}: {len(actual)} exports as expected")
    return not missing and not extra


def resources(path):
    return subprocess.run([f"{TRIPLE}-windres", "-J", "coff", "-O", "rc", "-i", path],
                          check=True, capture_output=True, text=True).stdout


def check_resources(path):
    text = resources(path)
    ok = True
    block = re.search(r'^"MAINMENU" DIALOG.*?^END$', text, re.S | re.M)
    with open(os.path.join(HERE, "expected_mainmenu.rc")) as f:
        expected = f.read().strip()
    if block is None or block.group(0).strip() != expected:
        print("program: MAINMENU template differs; found:")
        print(block.group(0) if block else "(no MAINMENU dialog)")
        ok = False
    else:
        print("program: MAINMENU template as expected")
    if not re.search(r'^"TARNWICK_ICON" 14 /\* RT_GROUP_ICON \*/', text, re.M):
        print("program: group icon TARNWICK_ICON missing")
        ok = False
    else:
        print("program: group icon TARNWICK_ICON present")
    return ok


def main():
    build = sys.argv[1]
    program = os.path.join(build, "app", "win32", "OrvantaIOTProvision.exe")
    library = os.path.join(build, "passthru", "orvanta_passthru.dll")
    expected = expected_exports()
    aliases = {name.split("@")[0] for name in expected if "@" in name}
    ok = compare("program", exported_names(program), expected)
    ok = compare("DLL", exported_names(library), expected | aliases) and ok
    ok = check_resources(program) and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
