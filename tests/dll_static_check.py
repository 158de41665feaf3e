#!/usr/bin/env python3
"""Checks a built DLL (Ulvane.dll, UlvaneMsi.dll) as a file, without running it: the
machine it is built for, the export table hosts call it by, the DLLs and functions it
imports and the version it carries.

  dll_static_check.py --arch i686|x64 --objdump OBJDUMP --header include/ulvane.h
                      --def src/exports/Ulvane.def [--imports LIST]... Ulvane.dll

The exports are the module definition's, by name and ordinal. Every imported function
must be listed in one of the import lists (default: tests/imports/ARCH.txt) with the
first Windows version that has it, and none may be later than the oldest Windows the
build targets (_WIN32_WINNT in cmake/settings.cmake).

Exit status 0 when every check holds; else 1, with each failed check on its own line."""
import argparse
import os
import re
import struct
import subprocess
import sys

# Per architecture: objdump's file format, the PE optional header's kind, the COFF machine.
ARCHITECTURES = {"i686": ("pei-i386", "PE32", 0x014C), "x64": ("pei-x86-64", "PE32+", 0x8664)}
RT_VERSION = 16
HERE = os.path.dirname(os.path.abspath(__file__))
SETTINGS = os.path.normpath(os.path.join(HERE, "..", "cmake", "settings.cmake"))
# Windows versions by the _WIN32_WINNT value that names them, oldest first.
WINDOWS = {"2000": 0x0500, "XP": 0x0501, "Vista": 0x0600, "7": 0x0601, "8": 0x0602, "8.1": 0x0603,
           "10": 0x0A00}


def header_version(path):
    with open(path, encoding="ascii") as header:
        found = re.search(r'^#define ULVANE_VERSION "([0-9.]+)"$', header.read(), re.M)
    if not found:
        sys.exit(f"{path} has no ULVANE_VERSION")
    return found.group(1)


def definition_exports(path):
    """{name: ordinal}: what hosts find the exports by, as the module definition gives them."""
    with open(path, encoding="ascii") as file:
        found = re.findall(r"^\s*([A-Za-z_]\w*)\s*=\s*\S+\s+@(\d+)\s*$", file.read(), re.M)
    if not found:
        sys.exit(f"{path} defines no exports")
    return {name: int(ordinal) for name, ordinal in found}


def imports_list(path):
    """{dll!function (DLL name in lower case): minimum Windows} of a committed list."""
    listed = {}
    with open(path, encoding="ascii") as file:
        for number, line in enumerate(file, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            entry = re.match(r"^(\S+)!(\S+)\s+(\S+)$", line)
            if not entry or entry.group(3) not in WINDOWS:
                sys.exit(f"{path}:{number}: not 'DLL!function minimum' with a minimum among {', '.join(WINDOWS)}")
            listed[f"{entry.group(1).lower()}!{entry.group(2)}"] = entry.group(3)
    return listed


def target_windows():
    """The oldest Windows the build targets, as _WIN32_WINNT in cmake/settings.cmake gives it."""
    with open(SETTINGS, encoding="ascii") as settings:
        found = re.search(r"_WIN32_WINNT=(0x[0-9A-Fa-f]+)", settings.read())
    if not found:
        sys.exit(f"{SETTINGS} defines no _WIN32_WINNT")
    return int(found.group(1), 16)


def windows_name(winnt):
    return next((name for name, value in WINDOWS.items() if value == winnt), f"{winnt:#06x}")


def imported_functions(dump):
    """["DLL!function"] from objdump's import tables, DLL names as the file spells them."""
    functions = []
    for table in re.split(r"^\tDLL Name: ", dump, flags=re.M)[1:]:
        lines = table.splitlines()
        for line in lines[2:]:
            if not line.strip():
                break
            # "\tvma\t hint  Name": a line of another shape (an import by ordinal) is
            # kept whole, so that it is reported rather than skipped.
            entry = re.match(r"^\t[0-9a-f]+\t\s*\d+\s+(\S+)$", line)
            functions.append(f"{lines[0].strip()}!{entry.group(1) if entry else line.strip()}")
    return functions


def exports(dump):
    """{name: ordinal} from objdump's name pointer table, and the count of exported functions."""
    base = re.search(r"^Ordinal Base\s+(\d+)", dump, re.M)
    if not base:
        return {}, 0
    functions = int(re.search(r"^\tExport Address Table\s+([0-9a-f]+)", dump, re.M).group(1), 16)
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1]
    names = {}
    for line in table.splitlines()[1:]:
        entry = re.match(r"^\t\[\s*(\d+)\] (\S+)$", line)
        if not entry:
            break
        names[entry.group(2)] = int(entry.group(1)) + int(base.group(1))
    return names, functions


class Image:
    """The few parts of a PE file the version check reads."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} is in no section")

    def resource(self, kind):
        """The data of the first resource of this type (any name, any language), or None."""
        root = self.offset(self.resource_rva)
        entry = root
        for level in range(3):
            named, numbered = struct.unpack_from("<HH", self.data, entry + 12)
            children = [struct.unpack_from("<II", self.data, entry + 16 + 8 * i) for i in range(named + numbered)]
            if level == 0:
                children = [c for c in children if c[0] == kind]
            if not children:
                return None
            entry = root + (children[0][1] & 0x7FFFFFFF)
        rva, size = struct.unpack_from("<II", self.data, entry)
        return self.data[self.offset(rva):self.offset(rva) + size]


def version_blocks(data, at=0, end=None):
    """The blocks of a version resource: (key, value bytes, value type, children), in order."""
    end = len(data) if end is None else end
    blocks = []
    while at + 6 <= end:
        length, value_length, value_type = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if value_type == 1 else value_length
        children_at = (value_at + value_size + 3) & ~3
        blocks.append((key, data[value_at:value_at + value_size], value_type,
                       version_blocks(data, children_at, at + length)))
        at = (at + length + 3) & ~3
    return blocks


def file_versions(resource):
    """The FileVersion texts of every string table, and the fixed file version as a.b.c.d."""
    (_, fixed, _, children), = version_blocks(resource)
    numbers = ""
    if len(fixed) >= 16:
        most, least = struct.unpack_from("<II", fixed, 8)
        numbers = f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"
    texts = [value.decode("utf-16-le").rstrip("\0")
             for key, _, _, tables in children if key == "StringFileInfo"
             for _, _, _, strings in tables
             for name, value, _, _ in strings if name == "FileVersion"]
    return texts, numbers


def check(arch, objdump, header, definition, import_lists, dll):
    failures = []
    fail = failures.append
    file_format, optional_kind, machine = ARCHITECTURES[arch]
    with open(dll, "rb") as file:
        image = Image(file.read())
    if image.machine != machine:
        fail(f"COFF machine {image.machine:#06x}, not {machine:#06x} ({arch})")

    run = subprocess.run([objdump, "-p", dll], capture_output=True, text=True)
    dump = run.stdout
    if run.returncode != 0:
        # This objdump reads its own architecture only: a DLL of another one ends up here.
        fail(f"{objdump} cannot read it: {run.stderr.strip()}")
    else:
        found_format = re.search(r"file format (\S+)", dump).group(1)
        if found_format != file_format:
            fail(f"file format {found_format}, not {file_format}")
        kind = re.search(r"^Magic\s+\S+\s+\((\S+)\)", dump, re.M)
        if not kind or kind.group(1) != optional_kind:
            fail(f"optional header {kind and kind.group(1)}, not {optional_kind}")
        if "\tDLL\n" not in dump:
            fail("not marked as a DLL")

        expected = definition_exports(definition)
        names, functions = exports(dump)
        for name, ordinal in sorted(expected.items(), key=lambda item: item[1]):
            if name not in names:
                fail(f"export {name}: missing")
            elif names[name] != ordinal:
                fail(f"export {name}: at ordinal {names[name]}, not {ordinal}")
        for name in sorted(set(names) - set(expected)):
            decorated = re.match(r"^_?([A-Za-z]+)@\d+$", name)
            fail(f"export {name}: " + (f"decorated; hosts call it {decorated.group(1)}" if decorated
                                       else "not one of the exports"))
        if functions != len(expected):
            fail(f"{functions} exported functions, not {len(expected)}")

        # Installers extract the DLL alone: it may import only the Windows system DLLs
        # the committed lists name. A new import may raise the oldest Windows the DLL
        # loads on: it is reviewed, not taken in silently.
        path = " or ".join(import_lists)
        listed = {}
        for import_list in import_lists:
            listed.update(imports_list(import_list))
        system_dlls = {entry.split("!", 1)[0] for entry in listed}
        for imported in re.findall(r"^\tDLL Name: (\S+)$", dump, re.M):
            if imported.lower() not in system_dlls:
                fail(f"imports {imported}, which is not a Windows system DLL that {path} names")

        target = target_windows()
        for function in imported_functions(dump):
            dll, name = function.split("!", 1)
            minimum = listed.get(f"{dll.lower()}!{name}")
            if minimum is None:
                fail(f"imports {function}, which {path} does not list: review it, and add it with the"
                     " first Windows version that has it")
            elif WINDOWS[minimum] > target:
                fail(f"imports {function}, which needs Windows {minimum}, later than Windows"
                     f" {windows_name(target)} (_WIN32_WINNT in {SETTINGS})")

    version = header_version(header)
    resource = image.resource(RT_VERSION) if image.resource_rva else None
    if resource is None:
        fail("no version resource")
    else:
        texts, numbers = file_versions(resource)
        if texts != [version]:
            fail(f"FileVersion texts {texts}, not ['{version}'] as in {header}")
        if numbers != version:
            fail(f"fixed file version {numbers}, not {version}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=sorted(ARCHITECTURES))
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--header", required=True)
    parser.add_argument("--def", dest="definition", required=True)
    parser.add_argument("--imports", action="append")
    parser.add_argument("dll")
    args = parser.parse_args()
    import_lists = args.imports or [os.path.join(HERE, "imports", f"{args.arch}.txt")]
    failures = check(args.arch, args.objdump, args.header, args.definition, import_lists, args.dll)
    for failure in failures:
        print(f"{args.dll}: {failure}")
    if not failures:
        print(f"{args.dll}: {args.arch}, the {len(definition_exports(args.definition))} exports at their"
              " ordinals, system imports only, each"
              f" listed and on Windows {windows_name(target_windows())}, FileVersion {header_version(args.header)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
