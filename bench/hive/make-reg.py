#!/usr/bin/env python3
"""Writes to standard output a .reg file ("Windows Registry Editor Version 5.00", UTF-8, LF lines) of a
tree shaped like an application's settings: KEY\\AppNN\\ComponentNN\\SectionNN\\ItemNN, four levels
below KEY, with KEYS keys (KEY included) and VALUES values. The values are a mix of what such trees
hold: REG_SZ from a few characters to a few thousand, REG_DWORD, REG_BINARY up to 4 KB, REG_EXPAND_SZ,
REG_QWORD, some REG_MULTI_SZ and unnamed values, a few names and strings outside ASCII, and two values
larger than 16,344 bytes (a hive keeps those in a list of blocks). The same arguments give the same file;
KEYS below 1,261 (KEY and its first three levels) gives those 1,261 keys.

    make-reg.py KEY KEYS VALUES > file.reg
"""
import random
import sys

key, keys, values = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(20240601)
out = sys.stdout
out.reconfigure(encoding="utf-8", newline="\n")

WORDS = ("Install Path Version Last Used Window Left Top Width Height Recent File Language Theme Cache Size "
         "Update Check Server Port Proxy Timeout Enabled Mode Level Color Font Toolbar Layout Profile User "
         "Licence Channel Backup Folder Plugin Sync Interval Retry Count History Zoom Grid Snap Export "
         "Import Format Encoding Device Driver Monitor Scale Sound Volume Notify Startup Shortcut").split()
ACCENTED = ("Café", "Größe", "Año", "Noël", "Ωmega")


def text(n):
    """About n characters of words, now and then a path or an accented word."""
    parts, length = [], 0
    while length < n:
        w = rng.choice(WORDS) if rng.random() > 0.02 else rng.choice(ACCENTED)
        parts.append(w)
        length += len(w) + 1
    s = " ".join(parts)[:n]
    if n > 12 and rng.random() < 0.3:
        s = "C:\\Program Files\\" + s.replace(" ", "\\", 2)
    return s


def sz_length():
    r = rng.random()
    if r < 0.65:
        return rng.randint(3, 16)
    if r < 0.93:
        return rng.randint(16, 48)
    if r < 0.99:
        return rng.randint(48, 160)
    return rng.randint(160, 800)


def binary_length():
    r = rng.random()
    if r < 0.85:
        return rng.randint(4, 32)
    if r < 0.98:
        return rng.randint(32, 200)
    return rng.randint(200, 4096)


def quoted(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def hex_data(prefix, data):
    """prefix:hex bytes, wrapped with "\\" at about 80 columns as regedit wraps them."""
    lines, line = [], prefix
    for i, b in enumerate(data):
        piece = "%02x" % b + ("," if i + 1 < len(data) else "")
        if len(line) + len(piece) > 77:
            lines.append(line + "\\")
            line = "  "
        line += piece
    lines.append(line)
    return "\n".join(lines)


def utf16z(*strings):
    return b"".join(s.encode("utf-16-le") + b"\0\0" for s in strings)


def value_line(name, kind):
    if kind == "sz":
        return f"{name}={quoted(text(sz_length()))}"
    if kind == "dword":
        return f"{name}=dword:{rng.getrandbits(rng.choice((1, 8, 16, 32))):08x}"
    if kind == "binary":
        return hex_data(f"{name}=hex:", rng.randbytes(binary_length()))
    if kind == "expand":
        return hex_data(f"{name}=hex(2):", utf16z("%ProgramFiles%\\" + text(rng.randint(8, 40))))
    if kind == "qword":
        return hex_data(f"{name}=hex(b):", rng.randbytes(8))
    return hex_data(f"{name}=hex(7):", utf16z(*(text(rng.randint(4, 40)) for _ in range(rng.randint(2, 6)))) + b"\0\0")


KINDS = ("sz", "dword", "binary", "expand", "qword", "multi")
WEIGHTS = (38, 41, 11, 4, 4, 2)

# The tree: 12 applications of 8 components of 12 sections; the keys left are items, spread evenly
# over the sections.
apps, components, sections = 12, 8, 12
paths = [key]
section_paths = []
for a in range(apps):
    paths.append(f"{key}\\App{a:02d}")
    for c in range(components):
        paths.append(f"{key}\\App{a:02d}\\Component{c:02d}")
        for s in range(sections):
            section_paths.append(f"{key}\\App{a:02d}\\Component{c:02d}\\Section{s:02d}")
items = max(0, keys - len(paths) - len(section_paths))
ordered = []
for a in range(apps):
    ordered.append(paths[1 + a * (components + 1)])
    for c in range(components):
        ordered.append(paths[2 + a * (components + 1) + c])
        for s in range(sections):
            i = (a * components + c) * sections + s
            ordered.append(section_paths[i])
            per = items // len(section_paths) + (1 if i < items % len(section_paths) else 0)
            ordered.extend(f"{section_paths[i]}\\Item{n:02d}" for n in range(per))
ordered.insert(0, key)

counts = [0] * len(ordered)
for _ in range(values - 2):
    counts[rng.randrange(len(ordered))] += 1
big = {len(ordered) // 3: "binary", 2 * len(ordered) // 3: "sz"}  # where the two large values go

out.write("Windows Registry Editor Version 5.00\n")
for k, path in enumerate(ordered):
    out.write(f"\n[{path}]\n")
    if k in big:
        if big[k] == "binary":
            out.write(hex_data('"Thumbnail"=hex:', rng.randbytes(20000)) + "\n")
        else:
            out.write(f'"Notes"={quoted(text(12000))}\n')
    start = rng.randrange(len(WORDS))
    for j in range(counts[k]):
        if j == 0 and rng.random() < 0.1:
            name = "@"
        else:
            word = WORDS[(start + j) % len(WORDS)]
            if rng.random() < 0.01:
                word = rng.choice(ACCENTED) + word
            name = quoted(word + (str(j // len(WORDS)) if j >= len(WORDS) else ""))
        kind = rng.choices(KINDS, WEIGHTS)[0]
        out.write(value_line(name, kind) + "\n")
