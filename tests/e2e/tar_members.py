#!/usr/bin/env python3
"""Lists an archive's members as one reader sees them, in one form for every reader.

    tar_members.py tarfile|gnu|bsd|gnulist ARCHIVE [SCRATCH]

tarfile reads the members with Python's tarfile; gnu and bsd extract the archive with GNU tar and
bsdtar into SCRATCH (as root: owners, modes and devices as recorded) and describe what landed;
gnulist parses GNU tar's own verbose listing, which shows no data (its sums are "-").
One sorted line per member: name type mode uid gid mtime size link major,minor fnv1a-64, names as
bytes with everything but printable ASCII (and the backslash) as \\xHH; then one "links" line per
group of names of one file.
"""
import calendar
import os
import re
import stat
import subprocess
import sys
import tarfile


def text(b):
    return "".join(chr(c) if 32 < c < 127 and c != 92 else "\\x%02x" % c for c in b)


def fnv(data):
    h = 0xcbf29ce484222325
    for c in data:
        h = ((h ^ c) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def line(name, kind, mode, uid, gid, mtime, size, link, major, minor, data):
    sum = fnv(data) if kind == "f" and data is not None else "-"
    return " ".join([text(name), kind, "%04o" % mode, str(uid), str(gid), str(mtime), str(size),
                     text(link) if link is not None else "-", "%d,%d" % (major, minor), sum])


def from_tarfile(path):
    lines, groups = [], {}
    with tarfile.open(path, encoding="utf-8", errors="surrogateescape") as t:
        members = {m.name: m for m in t.getmembers()}
        for m in t.getmembers():
            target = m
            if m.islnk():
                target = members[m.linkname]
                groups.setdefault(os.fsencode(m.linkname), [os.fsencode(m.linkname)]).append(os.fsencode(m.name))
            kind = {tarfile.REGTYPE: "f", tarfile.DIRTYPE: "d", tarfile.SYMTYPE: "l", tarfile.CHRTYPE: "c",
                    tarfile.BLKTYPE: "b", tarfile.FIFOTYPE: "p"}[target.type]
            data = t.extractfile(target).read() if kind == "f" else b""
            name = os.fsencode(m.name) + (b"/" if kind == "d" else b"")
            link = os.fsencode(target.linkname) if kind == "l" else None
            lines.append(line(name, kind, m.mode, target.uid, target.gid, int(target.mtime), target.size if kind == "f" else 0,
                              link, target.devmajor if kind in "cb" else 0, target.devminor if kind in "cb" else 0, data))
    return lines, groups.values()


def from_extraction(tool, path, scratch):
    os.makedirs(scratch)
    cmd = [tool, "-x", "--numeric-owner", "-p", "-f", os.path.abspath(path), "-C", scratch]
    subprocess.run(cmd, check=True, stderr=subprocess.DEVNULL)  # warnings: an old time, hdrcharset
    lines, by_inode = [], {}
    root = os.fsencode(scratch)
    for top, dirs, files in os.walk(root):
        for n in dirs + files:
            full = os.path.join(top, n)
            rel = os.path.relpath(full, root)
            st = os.lstat(full)
            kind = {stat.S_IFREG: "f", stat.S_IFDIR: "d", stat.S_IFLNK: "l", stat.S_IFCHR: "c", stat.S_IFBLK: "b",
                    stat.S_IFIFO: "p"}[stat.S_IFMT(st.st_mode)]
            if kind != "d":
                by_inode.setdefault(st.st_ino, []).append(rel)
            data = open(full, "rb").read() if kind == "f" else b""
            link = os.readlink(full) if kind == "l" else None
            dev = (os.major(st.st_rdev), os.minor(st.st_rdev)) if kind in "cb" else (0, 0)
            mode = stat.S_IMODE(st.st_mode)
            lines.append(line(rel + (b"/" if kind == "d" else b""), kind, mode, st.st_uid, st.st_gid, int(st.st_mtime),
                              st.st_size if kind == "f" else 0, link, dev[0], dev[1], data))
    return lines, [g for g in by_inode.values() if len(g) > 1]


def unescape(s):
    """A name as GNU tar's escape quoting prints it, back to its bytes."""
    simple = {"\\": 92, "n": 10, "t": 9, "a": 7, "b": 8, "f": 12, "r": 13, "v": 11, "?": 63, " ": 32}
    out, i = bytearray(), 0
    while i < len(s):
        if s[i] != "\\":
            out += s[i].encode("latin-1")
            i += 1
        elif s[i + 1] in "01234567":
            out.append(int(s[i + 1:i + 4], 8))
            i += 4
        else:
            out.append(simple[s[i + 1]])
            i += 2
    return bytes(out)


def mode_bits(m):
    bits = sum(1 << (8 - i) for i, c in enumerate(m) if c not in "-ST")
    specials = ((2, "sS", 0o4000), (5, "sS", 0o2000), (8, "tT", 0o1000))
    for pos, marks, bit in specials:
        if m[pos] in marks:
            bits |= bit
    return bits


def from_gnu_listing(path):
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    out = subprocess.run(["tar", "-tvf", path, "--numeric-owner", "--full-time", "--quoting-style=escape"],
                         check=True, capture_output=True, env=env).stdout.decode("latin-1")
    form = re.compile(r"^(.)(\S{9}) (\d+)/(\d+) +(\S+) (\d+-\d\d-\d\d \d\d:\d\d:\d\d)(?:\.\d+)? (.*)$")
    entries = []
    for l in out.splitlines():
        t, perm, uid, gid, size, when, rest = form.match(l).groups()
        link = None
        if t in "lh":
            rest, link = rest.split(" -> " if t == "l" else " link to ", 1)
            link = unescape(link)
        mtime = calendar.timegm(tuple(int(x) for x in re.split("[- :]", when)))
        dev = tuple(int(x) for x in size.split(",")) if t in "cb" else (0, 0)
        size = int(size) if t == "-" else 0
        entries.append((unescape(rest), t, mode_bits(perm), int(uid), int(gid), mtime, size, link, dev))
    first = {e[0]: e for e in entries}
    lines, groups = [], {}
    for name, t, mode, uid, gid, mtime, size, link, dev in entries:
        if t == "h":
            groups.setdefault(link, [link]).append(name)
            _, t, _, uid, gid, mtime, size, link, dev = first[link]
        kind = {"-": "f", "d": "d", "l": "l", "c": "c", "b": "b", "p": "p"}[t]
        lines.append(line(name, kind, mode, uid, gid, mtime, size, link, dev[0], dev[1], None))
    return lines, groups.values()


def main():
    reader, archive = sys.argv[1], sys.argv[2]
    if reader == "tarfile":
        lines, groups = from_tarfile(archive)
    elif reader == "gnulist":
        lines, groups = from_gnu_listing(archive)
    else:
        lines, groups = from_extraction({"gnu": "tar", "bsd": "bsdtar"}[reader], archive, sys.argv[3])
    out = sorted(lines) + sorted("links " + " ".join(text(n) for n in sorted(g)) for g in groups)
    sys.stdout.write("".join(l + "\n" for l in out))


main()
