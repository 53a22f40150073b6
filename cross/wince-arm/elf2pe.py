#!/usr/bin/env python3
"""Writes the handheld's program as a Windows CE PE image from the ELF image
that tarvel.ld laid out at the image base (linked with --emit-relocs) and
the compiled resource script (.res).

The PE sections are the ELF's allocated sections, at the same addresses:
.text (code), .rdata, .idata (the import tables of imports.py) and .data,
whose virtual size takes in .bss; then .rsrc, built from the .res, and
.reloc, the base relocations: one HIGHLOW entry for every R_ARM_ABS32 word
outside .idata (whose words are offsets from the base, not addresses).

Usage: elf2pe.py IMAGE.elf RESOURCES.res OUTPUT.exe"""

import struct
import sys

SECTION_ALIGNMENT = 0x1000
FILE_ALIGNMENT = 0x200

MACHINE_ARM = 0x01C0
SUBSYSTEM_WINDOWS_CE_GUI = 9
# Windows CE 4.20, as the operating-system and subsystem version.
VERSION = (4, 20)
STACK_RESERVE = 64 * 1024
STACK_COMMIT = 0x1000
HEAP_RESERVE = 0x100000
HEAP_COMMIT = 0x1000

CODE = 0x00000020
INITIALIZED_DATA = 0x00000040
DISCARDABLE = 0x02000000
EXECUTE = 0x20000000
READ = 0x40000000
WRITE = 0x80000000

# ELF section names, their PE names and characteristics, in image order.
SECTIONS = ((".text", ".text", CODE | EXECUTE | READ),
            (".rdata", ".rdata", INITIALIZED_DATA | READ),
            (".idata", ".idata", INITIALIZED_DATA | READ | WRITE),
            (".data", ".data", INITIALIZED_DATA | READ | WRITE))

R_ARM_ABS32 = 2
R_ARM_TARGET1 = 38  # taken as absolute, ld's default
# Relocations relative to the place: nothing to do when the image moves.
PLACE_RELATIVE = {0: "R_ARM_NONE", 1: "R_ARM_PC24", 3: "R_ARM_REL32", 28: "R_ARM_CALL",
                  29: "R_ARM_JUMP24", 40: "R_ARM_V4BX", 42: "R_ARM_PREL31"}
SHN_ABS = 0xFFF1

IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3

RT_ICON = 3


class Failure(Exception):
    pass


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Elf:
    def __init__(self, data):
        if data[:4] != b"\x7fELF" or data[4] != 1 or data[5] != 1:
            raise Failure("not a 32-bit little-endian ELF file")
        (self.machine, self.entry, shoff, shentsize, shnum, shstrndx) = (
            struct.unpack_from("<H", data, 18)[0], struct.unpack_from("<I", data, 24)[0],
            struct.unpack_from("<I", data, 32)[0], struct.unpack_from("<H", data, 46)[0],
            struct.unpack_from("<H", data, 48)[0], struct.unpack_from("<H", data, 50)[0])
        if self.machine != 40:
            raise Failure("not an ARM ELF file")
        self.data = data
        headers = [struct.unpack_from("<10I", data, shoff + i * shentsize) for i in range(shnum)]
        names = headers[shstrndx]
        self.sections = []
        for h in headers:
            name = data[names[4] + h[0]:data.index(b"\0", names[4] + h[0])].decode()
            self.sections.append({"name": name, "type": h[1], "flags": h[2], "addr": h[3],
                                  "offset": h[4], "size": h[5], "link": h[6], "info": h[7],
                                  "entsize": h[9]})
        self.symbols = []
        for s in self.sections:
            if s["type"] == 2:  # SHT_SYMTAB
                strings = self.sections[s["link"]]
                for at in range(s["offset"], s["offset"] + s["size"], 16):
                    name, value, _, _, _, shndx = struct.unpack_from("<IIIBBH", data, at)
                    start = strings["offset"] + name
                    self.symbols.append((data[start:data.index(b"\0", start)].decode(), value, shndx))

    def section(self, name):
        for s in self.sections:
            if s["name"] == name:
                return s
        return None

    def contents(self, section):
        if section["type"] == 8:  # SHT_NOBITS
            return b""
        return self.data[section["offset"]:section["offset"] + section["size"]]

    def symbol(self, name):
        for symbol, value, _ in self.symbols:
            if symbol == name:
                return value
        raise Failure("the ELF image has no symbol " + name)

    def relocations(self):
        """(address, type, symbol's section index) of every relocation of an
        allocated section."""
        for s in self.sections:
            if s["type"] != 9 or not self.sections[s["info"]]["flags"] & 2:  # SHT_REL, SHF_ALLOC
                continue
            for at in range(s["offset"], s["offset"] + s["size"], 8):
                offset, info = struct.unpack_from("<II", self.data, at)
                symbol = info >> 8
                yield offset, info & 0xFF, self.symbols[symbol][2] if symbol else 0


def read_resources(data):
    """{(type, id): [(language, bytes)]} from a .res file, whose entries are
    named by number."""
    resources = {}
    at = 0
    while at + 8 <= len(data):
        size, header = struct.unpack_from("<II", data, at)
        fields = data[at + 8:at + header]
        ids = []
        offset = 0
        for _ in range(2):
            if struct.unpack_from("<H", fields, offset)[0] != 0xFFFF:
                raise Failure("a resource named by text: only numbered resources are written")
            ids.append(struct.unpack_from("<H", fields, offset + 2)[0])
            offset += 4
        language = struct.unpack_from("<H", fields, offset + 4 + 2)[0]
        if ids[0] != 0:  # the leading empty entry of every .res file
            resources.setdefault(tuple(ids), []).append((language, data[at + header:at + header + size]))
        at = align(at + header + size, 4)
    return resources


def resource_section(resources, rva):
    """The .rsrc section at `rva`: the directory of types, of names and of
    languages, the data entries, then the data."""
    types = sorted({t for t, _ in resources})
    def directory(count):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, count)
    # Sizes first, so that every offset is known when the tables are written.
    tables = 16 + 8 * len(types)
    name_dirs = {}
    for t in types:
        names = sorted(n for tt, n in resources if tt == t)
        name_dirs[t] = (tables, names)
        tables += 16 + 8 * len(names)
    language_dirs = {}
    for key in sorted(resources):
        language_dirs[key] = tables
        tables += 16 + 8 * len(resources[key])
    entries_at = tables
    entry_count = sum(len(v) for v in resources.values())
    data_at = align(entries_at + 16 * entry_count, 8)

    out = bytearray(directory(len(types)))
    for t in types:
        out += struct.pack("<II", t, 0x80000000 | name_dirs[t][0])
    for t in types:
        names = name_dirs[t][1]
        out += directory(len(names))
        for n in names:
            out += struct.pack("<II", n, 0x80000000 | language_dirs[(t, n)])
    entry = entries_at
    blobs = bytearray()
    entry_records = bytearray()
    for key in sorted(resources):
        languages = sorted(resources[key])
        out += directory(len(languages))
        for language, blob in languages:
            out += struct.pack("<II", language, entry)
            entry_records += struct.pack("<IIII", rva + data_at + len(blobs), len(blob), 0, 0)
            blobs += blob + b"\0" * (align(len(blob), 8) - len(blob))
            entry += 16
    out += entry_records
    out += b"\0" * (data_at - len(out))
    return bytes(out + blobs)


def relocation_section(addresses, base):
    """Base relocation blocks, one a 4 KiB page, HIGHLOW entries, each block
    padded to a multiple of 4 bytes."""
    pages = {}
    for address in sorted(addresses):
        rva = address - base
        pages.setdefault(rva & ~0xFFF, []).append(rva & 0xFFF)
    out = bytearray()
    for page in sorted(pages):
        entries = [IMAGE_REL_BASED_HIGHLOW << 12 | offset for offset in pages[page]]
        if len(entries) % 2:
            entries.append(IMAGE_REL_BASED_ABSOLUTE << 12)
        out += struct.pack("<II", page, 8 + 2 * len(entries))
        out += struct.pack("<%dH" % len(entries), *entries)
    return bytes(out)


def convert(elf, resources):
    base = elf.symbol("__image_base__")
    if base % 0x10000:
        raise Failure("the image base %#x is not a multiple of 64 KiB" % base)
    sections = []  # [name, rva, contents, virtual size, characteristics]
    next_rva = SECTION_ALIGNMENT
    for elf_name, pe_name, flags in SECTIONS:
        s = elf.section(elf_name)
        if s is None or s["size"] == 0 and elf_name != ".data":
            continue
        contents = elf.contents(s)
        virtual_size = s["size"]
        if elf_name == ".data":
            bss = elf.section(".bss")
            if bss is not None and bss["size"]:
                if bss["addr"] < s["addr"] + s["size"] or bss["addr"] - s["addr"] > SECTION_ALIGNMENT * 16:
                    raise Failure(".bss does not follow .data")
                virtual_size = bss["addr"] + bss["size"] - s["addr"]
            if virtual_size == 0:
                continue
        rva = s["addr"] - base
        if rva != next_rva:
            raise Failure("%s is at %#x, not at the next page %#x" % (elf_name, s["addr"], base + next_rva))
        sections.append([pe_name, rva, contents, virtual_size, flags])
        next_rva = align(rva + virtual_size, SECTION_ALIGNMENT)
    # Every allocated ELF section must be one of those, or the image would lack it.
    placed = {name for name, _, _ in SECTIONS} | {".bss"}
    for s in elf.sections:
        if s["flags"] & 2 and s["size"] and s["name"] not in placed:
            raise Failure("the ELF section %s has no place in the image" % s["name"])

    idata = elf.section(".idata")
    relocated = []
    for address, kind, shndx in elf.relocations():
        if kind in PLACE_RELATIVE:
            continue
        if kind not in (R_ARM_ABS32, R_ARM_TARGET1):
            raise Failure("relocation type %d at %#x cannot be written as a base relocation"
                          % (kind, address))
        if shndx == SHN_ABS or idata["addr"] <= address < idata["addr"] + idata["size"]:
            continue  # a number, or an offset from the base: the same wherever it is loaded
        relocated.append(address)

    rsrc = resource_section(resources, next_rva)
    sections.append([".rsrc", next_rva, rsrc, len(rsrc), INITIALIZED_DATA | READ])
    next_rva = align(next_rva + len(rsrc), SECTION_ALIGNMENT)
    reloc = relocation_section(relocated, base)
    sections.append([".reloc", next_rva, reloc, len(reloc), INITIALIZED_DATA | DISCARDABLE | READ])
    image_size = align(next_rva + len(reloc), SECTION_ALIGNMENT)

    entry = elf.entry - base
    code = sections[0]
    if code[0] != ".text" or not code[1] <= entry < code[1] + code[3]:
        raise Failure("the entry %#x is not in .text" % elf.entry)

    header_size = align(0x40 + 4 + 20 + 224 + 40 * len(sections), FILE_ALIGNMENT)
    file_at = header_size
    table = bytearray()
    body = bytearray()
    for name, rva, contents, virtual_size, flags in sections:
        raw = align(len(contents), FILE_ALIGNMENT)
        table += struct.pack("<8sIIIIIIHHI", name.encode(), virtual_size, rva, raw,
                             file_at if raw else 0, 0, 0, 0, 0, flags)
        body += contents + b"\0" * (raw - len(contents))
        file_at += raw

    def sizes(flag):
        return sum(align(len(c), FILE_ALIGNMENT) for _, _, c, _, f in sections if f & flag)
    data_rvas = [rva for _, rva, _, _, f in sections if f & INITIALIZED_DATA]
    descriptors = elf.symbol("__import_descriptors")
    addresses = elf.symbol("__import_addresses")
    directories = [(0, 0)] * 16
    directories[1] = (descriptors - base, elf.symbol("__import_descriptors_end") - descriptors)
    directories[2] = (sections[-2][1], len(rsrc))
    directories[5] = (sections[-1][1], len(reloc))
    directories[12] = (addresses - base, elf.symbol("__import_addresses_end") - addresses)

    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    # Characteristics: an executable image, 32-bit, line numbers and local
    # symbols stripped; relocations kept.
    coff = struct.pack("<HHIIIHH", MACHINE_ARM, len(sections), 0, 0, 0, 224, 0x0002 | 0x0004 | 0x0008 | 0x0100)
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
                           0x10B, 2, 40, sizes(CODE), sizes(INITIALIZED_DATA), 0,
                           entry, code[1], min(data_rvas), base, SECTION_ALIGNMENT, FILE_ALIGNMENT,
                           VERSION[0], VERSION[1], 0, 0, VERSION[0], VERSION[1], 0, image_size,
                           header_size, 0, SUBSYSTEM_WINDOWS_CE_GUI, 0, STACK_RESERVE,
                           STACK_COMMIT, HEAP_RESERVE, HEAP_COMMIT, 0, 16)
    optional += b"".join(struct.pack("<II", rva, size) for rva, size in directories)
    headers = bytes(dos) + b"PE\0\0" + coff + optional + bytes(table)
    return headers + b"\0" * (header_size - len(headers)) + bytes(body)


def main():
    elf_path, res_path, output = sys.argv[1:4]
    try:
        with open(elf_path, "rb") as f:
            elf = Elf(f.read())
        with open(res_path, "rb") as f:
            resources = read_resources(f.read())
        image = convert(elf, resources)
    except (Failure, OSError, struct.error, ValueError) as why:
        sys.exit("elf2pe.py: %s: %s" % (elf_path, why))
    with open(output, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    main()
