#!/usr/bin/env python3
"""Prints where the bytes of a Windows executable go: the file's size, then
each section's share as the file stores it (padded to the file alignment)
with the bytes it really holds, and the headers. The build runs it on the
bare stub, whose size is what every installer costs beyond its payload.
Base relocations kept in another section (the 32-bit stub keeps them at
the end of .data) are named with that section.

usage: stub_size.py EXE [LIMIT]

With LIMIT (bytes), a file larger than that is reported as over its budget
(a warning: the build goes on).
"""
import os
import struct
import sys

NAMES = {
    ".text": "code",
    ".rdata": "constants",
    ".data": "data",
    ".idata": "imports",
    ".rsrc": "resources",
    ".reloc": "relocations",
}


def sections(path):
    with open(path, "rb") as f:
        b = f.read()
    if b[:2] != b"MZ":
        raise ValueError("not a Windows executable")
    pe = struct.unpack_from("<I", b, 0x3C)[0]
    if b[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a Windows executable")
    count, = struct.unpack_from("<H", b, pe + 6)
    optional_size, = struct.unpack_from("<H", b, pe + 20)
    headers, = struct.unpack_from("<I", b, pe + 24 + 60)  # SizeOfHeaders
    directories, = struct.unpack_from("<I", b, pe + 24 + 92)
    relocations = struct.unpack_from("<I", b, pe + 24 + 96 + 8 * 5)[0] if directories > 5 else 0
    table = pe + 24 + optional_size
    out = []
    for i in range(count):
        name, virtual_size, address, raw_size, _ = struct.unpack_from("<8sIIII", b, table + 40 * i)
        holds_relocations = relocations and address <= relocations < address + virtual_size
        out.append((name.rstrip(b"\0").decode("ascii", "replace"), raw_size, virtual_size, holds_relocations))
    return headers, out


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    path = argv[1]
    size = os.path.getsize(path)
    headers, secs = sections(path)
    parts = [f"headers {headers:,}"]
    has_idata = any(name == ".idata" for name, _, _, _ in secs)
    has_rdata = any(name == ".rdata" for name, _, _, _ in secs)
    for name, raw, used, holds_relocations in secs:
        if raw:
            what = NAMES.get(name, name)
            if name == ".data" and not has_idata:
                what = "data and imports"
            elif name == ".text" and not has_rdata:
                what = "code and constants"
            if holds_relocations and name != ".reloc":
                what = what.replace(" and ", ", ") + " and relocations"
            parts.append(f"{what} {raw:,} ({min(raw, used):,} used)")
    print(f"{os.path.basename(path)}: {size:,} bytes: " + ", ".join(parts))
    if len(argv) == 3 and size > int(argv[2]):
        print(f"warning: {os.path.basename(path)} is {size - int(argv[2]):,} bytes over its budget "
              f"of {int(argv[2]):,}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
