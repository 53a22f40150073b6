#!/usr/bin/env python3
"""Checks the handheld's program as a Windows CE 4.20 ARM device will load
it, reading the PE file on its own (not through elf2pe.py):

- headers: ARM machine, 32-bit executable, PE32, Windows CE GUI subsystem,
  operating-system and subsystem version 4.20, image base 0x10000, 64 KiB
  stack reserve, page-aligned sections in order inside the image and file;
- the entry point in an executable code section;
- imports: by name, every function the device API declares from its own
  library, and nothing else;
- resources: icon group 101 and the icons it names;
- base relocations: HIGHLOW entries only, each word inside a section's
  file data, each pointing inside the image;
- code: the PE's code is the ELF's, whose disassembly (mapping symbols tell
  code from literal data) holds only ARM-mode ARMv4 instructions: no BX,
  BLX, CLZ, LDRD, STRD, Thumb or any later instruction.

Usage: check_pe.py IMAGE.exe IMAGE.elf API_FOLDER
Prints one line a fault and exits 1, or a line of what was checked."""

import re
import struct
import subprocess
import sys

import api
import elf2pe

faults = []


def check(condition, fault):
    if not condition:
        faults.append(fault)
    return condition


# ARMv4 in ARM mode, as objdump writes it (unified syntax): the data
# processing, multiply and long multiply, load and store (halfwords and
# signed bytes included), block transfer, swap, branch, status register,
# software interrupt and coprocessor instructions, each with an optional S
# and condition. Anything else, from BX on, is later than the StrongARM.
_CONDITION = r"(?:eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?"
_ARMV4 = re.compile(
    r"^(?:(?:and|eor|sub|rsb|add|adc|sbc|rsc|orr|mov|bic|mvn|mul|mla|umull|umlal|smull|smlal"
    r"|lsl|lsr|asr|ror|rrx)s?" + _CONDITION +
    r"|(?:tst|teq|cmp|cmn|b|bl|swi|svc|mrs|msr|cdp|mcr|mrc|swp|swpb|nop|push|pop)" + _CONDITION +
    r"|(?:ldr|str)(?:b|h|sb|sh|t|bt)?" + _CONDITION +
    r"|(?:ldm|stm)(?:ia|ib|da|db|fd|fa|ed|ea)?" + _CONDITION +
    r"|(?:ldc|stc)" + _CONDITION + r"l?"
    r"|\.word|\.short|\.byte)$")


def disassembly_faults(elf_path):
    listing = subprocess.run(["arm-none-eabi-objdump", "-d", elf_path],
                             check=True, capture_output=True, text=True).stdout
    count = 0
    for line in listing.splitlines():
        # Address, encoding (ARM: one word of 8 digits; Thumb: halfwords of
        # 4), mnemonic.
        m = re.match(r"^\s+([0-9a-f]+):\t([0-9a-f ]+?)\s*\t(\S+)", line)
        if not m:
            continue
        count += 1
        check(re.fullmatch("[0-9a-f]{8}", m.group(2)) and _ARMV4.match(m.group(3)) is not None,
              "not an ARMv4 ARM-mode instruction at %s: %s" % (m.group(1), line.split("\t", 2)[-1].strip()))
    check(count > 0, "the ELF image's code could not be disassembled")
    return count


def elf_code(elf_path):
    """The ELF image's code: its address and bytes, read by the converter's
    own ELF reader (the ELF is the input; only the PE is read afresh)."""
    with open(elf_path, "rb") as f:
        elf = elf2pe.Elf(f.read())
    text = elf.section(".text")
    return (text["addr"], elf.contents(text)) if text else (None, b"")


def main():
    exe_path, elf_path, api_folder = sys.argv[1:4]
    image = open(exe_path, "rb").read()
    if not check(image[:2] == b"MZ", "no MZ header"):
        return
    pe, = struct.unpack_from("<I", image, 0x3C)
    if not check(image[pe:pe + 4] == b"PE\0\0", "no PE signature"):
        return
    machine, count, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", image, pe + 4)
    check(machine == 0x01C0, "machine %#x, not ARM (0x1c0)" % machine)
    check(characteristics & 0x0002 and characteristics & 0x0100 and not characteristics & 0x2001,
          "characteristics %#x: not a 32-bit executable with relocations" % characteristics)
    o = pe + 24
    magic, = struct.unpack_from("<H", image, o)
    check(magic == 0x10B and optional_size == 224, "not a PE32 optional header")
    entry, = struct.unpack_from("<I", image, o + 16)
    base, section_alignment, file_alignment = struct.unpack_from("<III", image, o + 28)
    os_version = struct.unpack_from("<HH", image, o + 40)
    subsystem_version = struct.unpack_from("<HH", image, o + 48)
    image_size, header_size = struct.unpack_from("<II", image, o + 56)
    subsystem, = struct.unpack_from("<H", image, o + 68)
    stack_reserve, = struct.unpack_from("<I", image, o + 72)
    directories = [struct.unpack_from("<II", image, o + 96 + 8 * i) for i in range(16)]
    check(base == 0x10000, "image base %#x, not 0x10000" % base)
    check(os_version == (4, 20), "operating-system version %d.%d, not 4.20" % os_version)
    check(subsystem_version == (4, 20), "subsystem version %d.%d, not 4.20" % subsystem_version)
    check(subsystem == 9, "subsystem %d, not Windows CE GUI (9)" % subsystem)
    check(stack_reserve == 0x10000, "stack reserve %#x, not 64 KiB" % stack_reserve)
    check(section_alignment == 0x1000 and file_alignment == 0x200, "alignments are not 4 KiB and 512")

    sections = []
    at = o + optional_size
    previous_end = header_size
    for i in range(count):
        name, vsize, rva, raw_size, raw_at, _, _, _, _, flags = struct.unpack_from("<8sIIIIIIHHI", image, at + 40 * i)
        name = name.rstrip(b"\0").decode("ascii", "replace")
        sections.append((name, rva, vsize, raw_size, raw_at, flags))
        check(rva % section_alignment == 0 and rva >= previous_end, "%s is not page-aligned after the one before" % name)
        check(rva + vsize <= image_size, "%s ends beyond the image" % name)
        check(raw_size == 0 or raw_at % file_alignment == 0 and raw_at + raw_size <= len(image),
              "%s's data is not inside the file" % name)
        previous_end = rva + vsize
    names = [s[0] for s in sections]
    check(names[:1] == [".text"] and {".rdata", ".idata", ".rsrc", ".reloc"} <= set(names),
          "sections %s: not .text, .rdata, .idata, (.data,) .rsrc and .reloc" % names)

    def section_of(rva, size=1):
        for s in sections:
            if s[1] <= rva and rva + size <= s[1] + s[2]:
                return s
        return None

    def read(rva, size):
        s = section_of(rva, size)
        if s is None or rva + size > s[1] + s[3]:
            raise ValueError("%#x is not in a section's file data" % rva)
        return image[s[4] + rva - s[1]:s[4] + rva - s[1] + size]

    def word(rva):
        return struct.unpack("<I", read(rva, 4))[0]

    def text(rva):
        s = section_of(rva)
        start = s[4] + rva - s[1]
        return image[start:image.index(b"\0", start)].decode("ascii")

    code = section_of(entry)
    check(code is not None and code[5] & 0x20000020 == 0x20000020, "the entry %#x is not in code" % entry)

    imported = []
    rva = directories[1][0]
    while word(rva + 12):
        library = text(word(rva + 12)).lower()
        lookup = word(rva) or word(rva + 16)
        check(section_of(word(rva + 16)) is not None, "%s's address table is outside the image" % library)
        while word(lookup):
            entry_word = word(lookup)
            if check(not entry_word & 0x80000000, "%s: an import by ordinal" % library):
                imported.append((library, text(entry_word + 2)))
            lookup += 4
        rva += 20
    declared = api.declared_imports(api_folder)
    for missing in sorted(set(declared) - set(imported)):
        faults.append("%s is not imported from %s" % (missing[1], missing[0]))
    for extra in sorted(set(imported) - set(declared)):
        faults.append("%s is imported from %s, which the device API does not declare" % (extra[1], extra[0]))

    def resource_entries(directory_rva):
        named, numbered = struct.unpack_from("<HH", read(directory_rva + 12, 4))
        return [struct.unpack("<II", read(directory_rva + 16 + 8 * i, 8)) for i in range(named + numbered)]
    rsrc = directories[2][0]
    found = {}
    for type_id, type_at in resource_entries(rsrc):
        for name_id, name_at in resource_entries(rsrc + (type_at & 0x7FFFFFFF)):
            for _, data_at in resource_entries(rsrc + (name_at & 0x7FFFFFFF)):
                data_rva, size = struct.unpack("<II", read(rsrc + data_at, 8))
                found[(type_id, name_id)] = read(data_rva, size)
    group = found.get((14, 101))
    if check(group is not None, "no icon group 101"):
        icons = struct.unpack_from("<H", group, 4)[0]
        for i in range(icons):
            icon_id, = struct.unpack_from("<H", group, 6 + 14 * i + 12)
            check((3, icon_id) in found, "icon group 101 names icon %d, which is missing" % icon_id)

    relocations = 0
    rva, end = directories[5][0], directories[5][0] + directories[5][1]
    while rva < end:
        page, size = struct.unpack("<II", read(rva, 8))
        for i in range((size - 8) // 2):
            kind_offset, = struct.unpack("<H", read(rva + 8 + 2 * i, 2))
            kind, target = kind_offset >> 12, page + (kind_offset & 0xFFF)
            if kind == 0:
                continue
            relocations += 1
            if check(kind == 3, "relocation type %d at %#x, not HIGHLOW" % (kind, target)):
                try:
                    value = word(target)
                    check(base <= value < base + image_size,
                          "the relocated word at %#x points outside the image: %#x" % (target, value))
                except ValueError as why:
                    faults.append("relocation at %#x: %s" % (target, why))
        check(size >= 8 and size % 4 == 0, "a relocation block of %d bytes" % size)
        rva += max(size, 8)
    check(relocations > 0, "no base relocations")

    address, elf_text = elf_code(elf_path)
    check(address is not None and address - 0x10000 == code[1] and read(code[1], len(elf_text)) == elf_text,
          "the PE's code is not the ELF image's .text")
    instructions = disassembly_faults(elf_path)
    if not faults:
        print("check_pe.py: %s: ARM, Windows CE GUI 4.20, %d imports, %d relocations, "
              "icon group 101, %d ARMv4 instructions" % (exe_path, len(imported), relocations, instructions))


if __name__ == "__main__":
    try:
        main()
    except (OSError, ValueError, struct.error, IndexError, UnicodeDecodeError) as why:
        faults.append(str(why))
    for fault in faults:
        print("check_pe.py: %s: %s" % (sys.argv[1], fault), file=sys.stderr)
    sys.exit(1 if faults else 0)
