#!/usr/bin/env python3
"""Checks a linked kernel-mode driver image (a PE32+ .sys) as a loader and a
driver reviewer would, with nothing but the Python standard library:

  - a native x64 image marked as a WDM driver;
  - imports by name only, only from ntoskrnl.exe, hal.dll and WDFLDR.SYS, each
    on the list of documented exports (exports.txt) and first in a Windows no
    newer than the oldest the INF installs on (its [Manufacturer] decoration);
  - no TLS, no C runtime sections (in the image or in any object linked into
    it), no section both writable and executable;
  - routine placement: every routine of the driver's sources that runs
    PAGED_CODE() lies in PAGE (or INIT), every routine in PAGE runs it, and
    DriverEntry lies in INIT, which is discardable.

Prints the import table, then each fault; exits 1 on any fault.
"""
import argparse
import re
import struct
import sys

ALLOWED_MODULES = {"ntoskrnl.exe", "hal.dll", "wdfldr.sys"}

SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

WINDOWS_NAMES = {
    (5, 0, 0): "Windows 2000",
    (5, 1, 0): "Windows XP",
    (5, 2, 0): "Windows Server 2003",
    (6, 0, 0): "Windows Vista",
    (6, 1, 0): "Windows 7",
    (6, 2, 0): "Windows 8",
    (6, 3, 0): "Windows 8.1",
    (10, 0, 10240): "Windows 10 1507",
    (10, 0, 14393): "Windows 10 1607",
    (10, 0, 15063): "Windows 10 1703",
    (10, 0, 16299): "Windows 10 1709",
    (10, 0, 17134): "Windows 10 1803",
    (10, 0, 17763): "Windows 10 1809",
    (10, 0, 18362): "Windows 10 1903",
    (10, 0, 19041): "Windows 10 2004",
    (10, 0, 22000): "Windows 11 21H2",
    (10, 0, 22621): "Windows 11 22H2",
}


class Fault(Exception):
    pass


def parse_version(text):
    parts = [int(p) for p in text.split(".")]
    if not 2 <= len(parts) <= 3:
        raise ValueError(text)
    return tuple(parts + [0] * (3 - len(parts)))


def version_text(version):
    name = WINDOWS_NAMES.get(version)
    numbers = ".".join(str(p) for p in (version if version[2] else version[:2]))
    return f"{numbers} ({name})" if name else numbers


# ---------------------------------------------------------------- inputs


def read_exports(path):
    """module (lower case) -> routine -> first Windows version."""
    exports = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) not in (3, 4) or (len(fields) == 4 and fields[3] != "data"):
                raise Fault(f"{path}:{number}: expected 'module routine version [data]'")
            module, routine, version = fields[0].lower(), fields[1], fields[2]
            try:
                exports.setdefault(module, {})[routine] = parse_version(version)
            except ValueError:
                raise Fault(f"{path}:{number}: '{version}' is not a Windows version (5.0, 10.0.16299, ...)")
    return exports


def read_inf_floor(path):
    """The oldest Windows the INF's [Manufacturer] models install on, from
    their decorations (NTamd64.10.0...16299: major 10, minor 0, build 16299)."""
    section = None
    floors = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split(";", 1)[0].strip()
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                section = header.group(1).strip().lower()
                continue
            if section != "manufacturer" or "=" not in line:
                continue
            for decoration in line.split("=", 1)[1].split(",")[1:]:
                fields = decoration.strip().split(".")
                if len(fields) < 3 or not fields[0].upper().startswith("NT"):
                    continue
                major, minor = int(fields[1] or 0), int(fields[2] or 0)
                build = int(fields[5]) if len(fields) > 5 and fields[5] else 0
                floors.append((major, minor, build))
    if not floors:
        raise Fault(f"{path}: no [Manufacturer] decoration with a target version (NT<arch>.<major>.<minor>...)")
    return min(floors)


def strip_c(text):
    """Source text without comments, literals and preprocessor lines."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)
    text = re.sub(r"'(?:\\.|[^'\\\n])*'", "''", text)
    return re.sub(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", " ", text, flags=re.M)


def paged_routines(paths):
    """Routine name -> True when its body runs PAGED_CODE(), for every routine
    the sources define."""
    routines = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            text = strip_c(f.read())
        depth = 0
        open_blocks = 0  # extern "C" { and namespace { blocks around the current position
        start = 0  # where the current top-level declaration began
        body_start = None
        name = None
        for i, c in enumerate(text):
            if c == "{":
                if depth == 0:
                    head = text[start:i]
                    if re.search(r'(\bextern\s*""|\bnamespace\b[\w\s:]*)\s*$', head):
                        open_blocks += 1
                        start = i + 1
                        continue
                    match = re.search(r"(\w+)\s*\((?:[^()]|\([^()]*\))*\)\s*$", head)
                    name = match.group(1) if match and "=" not in head else None
                    body_start = i
                depth += 1
            elif c == "}":
                if depth == 0 and open_blocks:
                    open_blocks -= 1
                    start = i + 1
                    continue
                depth -= 1
                if depth == 0:
                    if name:
                        routines[name] = re.search(r"\bPAGED_CODE\s*\(\s*\)", text[body_start:i]) is not None
                    name = None
                    start = i + 1
            elif c == ";" and depth == 0:
                start = i + 1
        if depth != 0 or open_blocks != 0:
            raise Fault(f"{path}: unbalanced braces")
    return routines


def read_map(path):
    """Routine -> (1-based section index, C linkage), from lld-link's /map file:
    its public and its static symbols. A C++ name (?Name@@...) is given by the
    routine's own name; other decorated names (string literals) are left out."""
    symbols = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            match = re.match(r"\s*([0-9a-fA-F]{4}):[0-9a-fA-F]{8}\s+(\S+)\s+[0-9a-fA-F]{16}\s", line)
            if not match:
                continue
            name, section = match.group(2), int(match.group(1), 16)
            if name.startswith("?"):
                decorated = re.match(r"\?([A-Za-z_]\w*)@@", name)
                if decorated:
                    symbols[decorated.group(1)] = (section, False)
            else:
                symbols[name] = (section, True)
    return symbols


def object_sections(path):
    """Section names of a COFF object."""
    with open(path, "rb") as f:
        data = f.read()
    machine, count, _, symbols, symbol_count, optional, _ = struct.unpack_from("<HHIIIHH", data, 0)
    strings = symbols + symbol_count * 18
    names = []
    for index in range(count):
        raw = data[20 + optional + 40 * index:20 + optional + 40 * index + 8]
        name = raw.rstrip(b"\0").decode("latin-1")
        if name.startswith("/"):
            offset = strings + int(name[1:])
            name = data[offset:data.index(b"\0", offset)].decode("latin-1")
        names.append(name)
    return names


# ---------------------------------------------------------------- the image


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        if data[:2] != b"MZ":
            raise Fault(f"{path}: not a PE image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise Fault(f"{path}: not a PE image")
        self.machine, count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic != 0x20B:
            raise Fault(f"{path}: not a PE32+ image")
        self.entry = struct.unpack_from("<I", data, optional + 16)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        directory_count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = optional + optional_size
        for index in range(count):
            name, vsize, rva, rawsize, rawptr, _, _, _, _, flags = struct.unpack_from(
                "<8sIIIIIIHHI", data, table + 40 * index)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva, max(vsize, rawsize), rawptr, flags))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, start, size, rawptr, _ in self.sections:
            if start <= rva < start + size:
                return rawptr + rva - start
        raise Fault(f"RVA {rva:#x} lies in no section")

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def file_version(self):
        """(file version, product version) of the resource's VS_FIXEDFILEINFO, or None."""
        for name, _, size, rawptr, _ in self.sections:
            if name != ".rsrc":
                continue
            at = self.data.find(struct.pack("<I", 0xFEEF04BD), rawptr, rawptr + size)
            if at < 0:
                return None
            file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", self.data, at + 8)
            split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            return split(file_ms, file_ls), split(product_ms, product_ls)
        return None

    def imports(self):
        """[(module, [routine or '#ordinal', ...])]"""
        rva, _ = self.directory(1)
        result = []
        while rva:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            entries = []
            at = self.offset(lookup or thunks)
            while True:
                value = struct.unpack_from("<Q", self.data, at)[0]
                if value == 0:
                    break
                if value & (1 << 63):
                    entries.append(f"#{value & 0xFFFF}")
                else:
                    entries.append(self.string((value & 0x7FFFFFFF) + 2))
                at += 8
            result.append((self.string(name), entries))
            rva += 20
        return result


# ---------------------------------------------------------------- checks


def check(args):
    faults = []
    image = Image(args.image)
    exports = read_exports(args.exports)
    floor = read_inf_floor(args.inf)

    if image.machine != 0x8664:
        faults.append(f"machine {image.machine:#x} is not x64")
    if image.subsystem != 1:
        faults.append(f"subsystem {image.subsystem} is not native (1)")
    if not image.dll_characteristics & 0x2000:
        faults.append("not marked as a WDM driver (IMAGE_DLLCHARACTERISTICS_WDM_DRIVER)")

    print(f"imagecheck: {args.image}: imports (the INF installs on {version_text(floor)} and later)")
    for module, routines in image.imports():
        print(f"  {module}")
        known = exports.get(module.lower(), {})
        if module.lower() not in ALLOWED_MODULES:
            faults.append(f"imports from {module}: a kernel-mode driver may import only from "
                          "ntoskrnl.exe, hal.dll and WDFLDR.SYS")
        for routine in routines:
            version = known.get(routine)
            print(f"    {routine:<34} {version_text(version) if version else '-'}")
            if routine.startswith("#"):
                faults.append(f"{module} {routine}: imported by ordinal")
            elif version is None:
                faults.append(f"{module} {routine}: not on the list of documented exports ({args.exports})")
            elif version > floor:
                faults.append(f"{module} {routine}: first in {version_text(version)}, newer than the INF's "
                              f"floor {version_text(floor)}")

    if image.directory(9) != (0, 0):
        faults.append("the image has a TLS directory")
    for name, _, _, _, flags in image.sections:
        if name.lower().startswith((".tls", ".crt")):
            faults.append(f"section {name}: C runtime / thread-local data")
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            faults.append(f"section {name} is both writable and executable")
    for path in args.objects:
        for name in object_sections(path):
            if name.lower().startswith((".tls", ".crt")):
                faults.append(f"{path}: section {name}: C runtime initialisers or thread-local data")

    # Placement.
    sections = {index + 1: (name, flags) for index, (name, _, _, _, flags) in enumerate(image.sections)}
    symbols = read_map(args.map)
    routines = paged_routines(args.sources)
    for routine, paged in sorted(routines.items()):
        if routine not in symbols:
            continue  # inlined or discarded
        index, c_linkage = symbols[routine]
        name, flags = sections[index]
        if paged and name not in ("PAGE", "INIT"):
            if c_linkage:
                faults.append(f"{routine} runs PAGED_CODE() but lies in {name}, not PAGE: "
                              "its alloc_text pragma is missing")
            else:
                # alloc_text names only routines with C linkage; this one stays resident.
                print(f"imagecheck: note: {routine} runs PAGED_CODE() but has C++ linkage, which "
                      f"alloc_text cannot name: it lies in {name}")
        if name == "PAGE" and not paged:
            faults.append(f"{routine} lies in PAGE but does not run PAGED_CODE()")
    for name, flags in sections.values():
        if name in ("PAGE", "INIT") and not flags & SCN_MEM_EXECUTE:
            faults.append(f"section {name} is not executable")
        if name == "PAGE" and flags & SCN_MEM_DISCARDABLE:
            faults.append("section PAGE is discardable")
    if "DriverEntry" not in symbols:
        faults.append("DriverEntry is not in the image")
    else:
        name, flags = sections[symbols["DriverEntry"][0]]
        if name != "INIT":
            faults.append(f"DriverEntry lies in {name}, not INIT")
        elif not flags & SCN_MEM_DISCARDABLE:
            faults.append("section INIT is not discardable")
    if args.version:
        expected = tuple(int(p) for p in args.version.split("."))
        found = image.file_version()
        if found is None:
            faults.append("the image has no version resource (VS_FIXEDFILEINFO)")
        else:
            print(f"imagecheck: file version {'.'.join(map(str, found[0]))}, product version "
                  f"{'.'.join(map(str, found[1]))}")
            if found[0] != expected or found[1] != expected:
                faults.append(f"the version resource says {found}, the project's version is {args.version}")
    placed = {}
    for routine in routines:
        if routine in symbols:
            placed.setdefault(sections[symbols[routine][0]][0], []).append(routine)
    print("imagecheck: placement: " + ", ".join(f"{len(v)} routines in {k}" for k, v in sorted(placed.items())))
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--image", required=True)
    parser.add_argument("--map", required=True, help="the linker's /map file")
    parser.add_argument("--exports", required=True, help="the list of documented exports")
    parser.add_argument("--inf", required=True)
    parser.add_argument("--sources", nargs="+", required=True, help="the driver's source units")
    parser.add_argument("--objects", nargs="*", default=[], help="the objects linked into the image")
    parser.add_argument("--version", help="the version the image's version resource must carry (1.0.0.0)")
    args = parser.parse_args()
    try:
        faults = check(args)
    except (Fault, OSError, struct.error, ValueError) as error:
        print(f"imagecheck: {error}", file=sys.stderr)
        return 1
    for fault in faults:
        print(f"imagecheck: {args.image}: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
