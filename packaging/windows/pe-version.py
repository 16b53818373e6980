#!/usr/bin/python3
"""Reads the version resource of a Windows program (PE32+) as Windows does:
the resource directory's RT_VERSION entry, its fixed file information and
its string table. Used by scripts/build-msi.sh (the package's version is
the programs' own) and by the package's test (each program's own names).

    pe-version.py FILE            X.Y.Z.W (the fixed file version)
    pe-version.py --strings FILE  Key=Value lines of the string table

Exit status 1, with a message, when the file has no readable version
resource; a program that is not exactly one version resource is refused.
"""
import struct
import sys

RT_VERSION = 16


class Unreadable(Exception):
    pass


def u16(data, at):
    if at + 2 > len(data):
        raise Unreadable("truncated")
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    if at + 4 > len(data):
        raise Unreadable("truncated")
    return struct.unpack_from("<I", data, at)[0]


def resource_data(image):
    """The bytes of the one RT_VERSION resource."""
    if image[:2] != b"MZ":
        raise Unreadable("not a Windows program")
    pe = u32(image, 0x3C)
    if image[pe:pe + 4] != b"PE\0\0":
        raise Unreadable("no PE header")
    sections = u16(image, pe + 6)
    optional_size = u16(image, pe + 20)
    optional = pe + 24
    magic = u16(image, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if directories < optional:
        raise Unreadable("unknown optional header")
    if u32(image, directories - 4) <= 2:
        raise Unreadable("no resource directory")
    rsrc_rva = u32(image, directories + 2 * 8)
    table = optional + optional_size
    spans = []
    for i in range(sections):
        s = table + 40 * i
        size, rva = u32(image, s + 8), u32(image, s + 12)
        raw_size, raw = u32(image, s + 16), u32(image, s + 20)
        spans.append((rva, max(size, raw_size), raw))

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise Unreadable("address outside the sections")

    base = offset(rsrc_rva)

    def entries(directory):
        named, ids = u16(image, directory + 12), u16(image, directory + 14)
        for i in range(named + ids):
            e = directory + 16 + 8 * i
            yield u32(image, e), u32(image, e + 4)

    found = []
    for type_id, to in entries(base):
        if type_id != RT_VERSION or not to & 0x80000000:
            continue
        for _, names in entries(base + (to & 0x7FFFFFFF)):
            if not names & 0x80000000:
                raise Unreadable("malformed resource directory")
            for _, leaf in entries(base + (names & 0x7FFFFFFF)):
                if leaf & 0x80000000:
                    raise Unreadable("malformed resource directory")
                rva, size = u32(image, base + leaf), u32(image, base + leaf + 4)
                at = offset(rva)
                found.append(image[at:at + size])
    if len(found) != 1:
        raise Unreadable("%d version resources" % len(found))
    return found[0]


def block(data, at):
    """One VS_VERSIONINFO-style block: (key, value, children, end)."""
    length, value_length, kind = u16(data, at), u16(data, at + 2), u16(data, at + 4)
    end = at + length
    if length < 6 or end > len(data):
        raise Unreadable("malformed version block")
    k = at + 6
    key_end = k
    while u16(data, key_end):
        key_end += 2
    key = data[k:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    if kind == 1:  # text: the length counts characters
        v = data[p:min(p + 2 * value_length, end)].decode("utf-16-le").split("\0")[0]
        p += 2 * value_length
    else:
        v = data[p:p + value_length]
        p += value_length
    p = (p + 3) & ~3
    children = []
    while p < end:
        child = block(data, p)
        children.append(child)
        p = (child[3] + 3) & ~3
    return key, v, children, end


def main(argv):
    strings = len(argv) == 3 and argv[1] == "--strings"
    if len(argv) != 2 and not strings:
        print("usage: pe-version.py [--strings] FILE", file=sys.stderr)
        return 2
    path = argv[-1]
    try:
        with open(path, "rb") as f:
            image = f.read()
        key, fixed, children, _ = block(resource_data(image), 0)
        if key != "VS_VERSION_INFO" or len(fixed) < 52 or u32(fixed, 0) != 0xFEEF04BD:
            raise Unreadable("no fixed file information")
        if strings:
            for child in children:
                if child[0] != "StringFileInfo":
                    continue
                for table in child[2]:
                    for name, value, _, _ in table[2]:
                        print("%s=%s" % (name, value))
        else:
            ms, ls = u32(fixed, 8), u32(fixed, 12)
            print("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
    except (OSError, Unreadable, UnicodeDecodeError) as e:
        print("pe-version: %s: %s" % (path, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
