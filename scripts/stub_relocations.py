#!/usr/bin/env python3
"""Moves a Windows executable's base relocations from their own section to
the end of its data section, in place: one section less, so one padded
block less in the file (every section is padded to the file alignment),
and one entry less in the section table, which with the stub's three
sections fits the first 512 bytes of the file with the other headers (the
headers shrink to that, and every section's bytes move up with them).

usage: stub_relocations.py EXE

The build runs it on the 32-bit stub right after the link. ld writes the
relocations only into a section of their own, named .reloc (it takes that
section's whole size for the relocation directory), so they are moved
afterwards. The loader finds them through the data directory, wherever
they are. The relocations stay exactly as ld made them: the sections keep
their addresses, and so do the places the relocations fix up.

Expected layout: ... .data .rsrc .reloc, with .reloc last (as ld lays out
the stub). The moved table sits behind .data's bytes within .data's last
page, before .rsrc's address; .rsrc moves down in the file only. kelvo sfx
then finds .rsrc last, as it requires. When the table does not fit there,
or the layout is another, the file is left as it is with a warning (it
stays a valid executable, one block larger).
"""
import struct
import sys

IMAGE_SCN_CNT_INITIALIZED_DATA = 0x40
IMAGE_SCN_MEM_WRITE = 0x80000000
DIRECTORY_BASE_RELOCATION = 5
SECTION_HEADER = 40


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def checksum(image, field):
    """The optional header's checksum, the field itself taken as zero."""
    data = bytearray(image)
    data[field:field + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


class Image:
    def __init__(self, data):
        b = self.b = bytearray(data)
        if b[:2] != b"MZ":
            raise ValueError("not a Windows executable")
        self.pe = struct.unpack_from("<I", b, 0x3C)[0]
        if b[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("not a Windows executable")
        self.coff = self.pe + 4
        self.count, = struct.unpack_from("<H", b, self.coff + 2)
        self.symbols, = struct.unpack_from("<I", b, self.coff + 8)
        optional_size, = struct.unpack_from("<H", b, self.coff + 16)
        self.opt = self.coff + 20
        if struct.unpack_from("<H", b, self.opt)[0] != 0x10B:
            raise ValueError("not a 32-bit executable")
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", b, self.opt + 32)
        self.directories = self.opt + 96
        self.directory_count, = struct.unpack_from("<I", b, self.opt + 92)
        self.table = self.opt + optional_size
        self.sections = []
        for i in range(self.count):
            at = self.table + SECTION_HEADER * i
            name, vsize, va, raw_size, raw_at = struct.unpack_from("<8sIIII", b, at)
            flags, = struct.unpack_from("<I", b, at + 36)
            self.sections.append({"header": at, "name": name.rstrip(b"\0").decode("ascii", "replace"),
                                  "vsize": vsize, "va": va, "raw_size": raw_size, "raw_at": raw_at,
                                  "flags": flags})

    def directory(self, index):
        if index >= self.directory_count:
            return 0, 0
        return struct.unpack_from("<II", self.b, self.directories + 8 * index)


def fold(data):
    """The image with .reloc moved into .data, or (None, why not)."""
    image = Image(data)
    names = [s["name"] for s in image.sections]
    if len(names) < 3 or names[-3:] != [".data", ".rsrc", ".reloc"]:
        return None, "the sections do not end in .data, .rsrc, .reloc"
    if image.symbols:
        return None, "it has a symbol table behind its sections (not stripped)"
    target, resources, relocations = image.sections[-3:]
    rva, size = image.directory(DIRECTORY_BASE_RELOCATION)
    if rva != relocations["va"] or size == 0 or size > min(relocations["vsize"], relocations["raw_size"]):
        return None, "its relocation directory is not the .reloc section"
    if not target["flags"] & IMAGE_SCN_MEM_WRITE or not target["flags"] & IMAGE_SCN_CNT_INITIALIZED_DATA:
        return None, ".data is not initialised, writable data"
    end = max(s["raw_at"] + s["raw_size"] for s in image.sections)
    if end != len(image.b) or relocations["raw_at"] + relocations["raw_size"] != end:
        return None, "something other than .reloc ends the file"

    at = align(target["vsize"], 4)
    if target["va"] + at + size > resources["va"]:
        return None, f"the {size:,} bytes of relocations do not fit behind .data before .rsrc"
    b = image.b
    headers, = struct.unpack_from("<I", b, image.opt + 60)
    table_end = image.table + SECTION_HEADER * (image.count - 1)
    new_headers = align(table_end, image.file_alignment)
    if any(b[table_end + SECTION_HEADER:headers]) or min(s["raw_at"] for s in image.sections) < headers:
        return None, "its headers hold more than the section table"

    # The headers, cut to the shorter table; then the sections' bytes in
    # their order, .data with the relocations behind its own bytes.
    out = bytearray(b[:new_headers])
    out[table_end:] = bytes(new_headers - table_end)
    for s in image.sections[:-1]:
        body = bytes(b[s["raw_at"]:s["raw_at"] + s["raw_size"]])
        if s is target:
            body = body[:min(s["raw_size"], s["vsize"])].ljust(at, b"\0")
            body += bytes(b[relocations["raw_at"]:relocations["raw_at"] + size])
            struct.pack_into("<I", out, s["header"] + 8, len(body))
            s["raw_size"] = align(len(body), image.file_alignment)
            struct.pack_into("<I", out, s["header"] + 16, s["raw_size"])
        if s["raw_size"]:
            struct.pack_into("<I", out, s["header"] + 20, len(out))
            out += body.ljust(s["raw_size"], b"\0")

    struct.pack_into("<H", out, image.coff + 2, image.count - 1)
    struct.pack_into("<II", out, image.directories + 8 * DIRECTORY_BASE_RELOCATION, target["va"] + at, size)
    image_end = align(resources["va"] + max(resources["vsize"], resources["raw_size"]), image.section_alignment)
    struct.pack_into("<I", out, image.opt + 56, image_end)
    struct.pack_into("<I", out, image.opt + 60, new_headers)
    initialised = sum(s["raw_size"] for s in image.sections[:-1] if s["flags"] & IMAGE_SCN_CNT_INITIALIZED_DATA)
    struct.pack_into("<I", out, image.opt + 8, initialised)
    struct.pack_into("<I", out, image.opt + 64, checksum(out, image.opt + 64))
    return out, None


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        data = f.read()
    out, why = fold(data)
    if out is None:
        print(f"warning: {argv[1]}: base relocations left in their own section: {why}")
        return 0
    with open(argv[1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
