#!/usr/bin/env python3
"""Fails when driver code crosses the seam to the host.

Driver code (engine/, bus/, kernel-support/, outside their tests/ folders)
reaches the kernel through its public headers only. It may include the
kernel's headers, the freestanding C++ headers and the project's own driver
headers; it names no host header, no stand-in internals (bw::, platform/),
nothing of std:: beyond the freestanding type utilities, and no compiler
builtins, whose place the kernel's own names take.

Usage: check_driver_seam.py SOURCE_ROOT
"""
import pathlib
import re
import sys

DRIVER_FOLDERS = ("engine", "bus", "kernel-support")
# The layer that fits another tool chain's kernel headers to the drivers.
EXEMPT = ("kernel-support/mingw/",)
KERNEL_HEADERS = {"ntddk.h", "bcrypt.h", "wdm.h", "wdmsec.h", "ntstrsafe.h", "ntifs.h", "mountmgr.h", "mountdev.h",
                  "ntdddisk.h", "ntddvol.h", "ntddstor.h", "ntddscsi.h", "srb.h", "scsi.h", "initguid.h", "wdmguid.h"}
FREESTANDING = {"cstdint", "cstddef", "new", "type_traits", "utility", "limits", "climits", "cstdarg"}
# C library headers the kernel kit itself includes (memcpy, memset).
KIT_C_HEADERS = {"string.h"}
# std:: names the freestanding headers above provide.
STD_ALLOWED = re.compile(
    r"std::(?:is_\w+|remove_\w+|make_\w+|add_\w+|enable_if\w*|conditional\w*|decay\w*|underlying_type\w*|"
    r"integral_constant|true_type|false_type|declval|move|forward|swap|exchange|size_t|nullptr_t|"
    r"numeric_limits|uint\d+_t|int\d+_t|byte|launder|nothrow\w*|in_place\w*)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
BUILTIN = re.compile(r"\b__(?:builtin|atomic|sync)_\w+|\b__ATOMIC_\w+")
HOST_NAME = re.compile(r"\bbw::")
STD_NAME = re.compile(r"\bstd::\w+")
COMMENT = re.compile(r"//.*$")


def driver_sources(root):
    for folder in DRIVER_FOLDERS:
        for path in sorted((root / folder).rglob("*")):
            relative = path.relative_to(root)
            if path.suffix not in (".cpp", ".h") or "tests" in relative.parts:
                continue
            if relative.as_posix().startswith(EXEMPT):
                continue
            yield path


def check(root):
    problems = []
    for path in driver_sources(root):
        relative = path.relative_to(root)
        for number, line in enumerate(path.read_text().splitlines(), 1):
            where = f"{relative}:{number}"
            include = INCLUDE.match(line)
            if include:
                kind, name = include.groups()
                if kind == "<" and name not in KERNEL_HEADERS | FREESTANDING | KIT_C_HEADERS:
                    problems.append(f"{where}: includes <{name}>, which is not a kernel or freestanding header")
                if kind == '"' and not name.startswith(tuple(f + "/" for f in DRIVER_FOLDERS)):
                    problems.append(f'{where}: includes "{name}", which is not driver code')
                continue
            code = COMMENT.sub("", line)
            for match in BUILTIN.finditer(code):
                problems.append(f"{where}: compiler builtin {match.group(0)}; use the kernel's own routine")
            if HOST_NAME.search(code):
                problems.append(f"{where}: names the stand-in's host side (bw::)")
            for match in STD_NAME.finditer(code):
                if not STD_ALLOWED.match(code, match.start()):
                    problems.append(f"{where}: {match.group(0)} is not part of the freestanding library")
    return problems


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} seam violation(s) in driver code")
        return 1
    print("driver code keeps to the kernel's headers and names")
    return 0


if __name__ == "__main__":
    sys.exit(main())
