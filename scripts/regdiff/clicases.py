"""Command lines of reg's verbs (add, query, delete, export and help), generated from a seed.

Each case: {"id", "cmd": [verb, args...], "setup": [("key", sub) | ("value", sub, name, type, bytes)],
"probes": [(root, sub, name)], "collect": [file], "output": False when only the status is compared,
"expect": "refuse" for cases where cregistry refuses on purpose what reg does}. Key paths below are
HKCU\\Software\\regdiff unless a case names another root.
"""

R = "HKCU\\Software\\regdiff"
HKCU = 0x80000001
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD, REG_NONE = 1, 2, 3, 4, 7, 11, 0

LONG_KEY = R + "\\" + "n" * 256
# Key paths as users write them: the harness reads back R, and probes the root for what lands there.
KEYS = [
    R + "\\k", R + "\\k\\", R + "\\k\\\\", R + "\\\\k", R + "\\k\\\\x", "hkcu\\software\\regdiff\\k",
    "HKEY_CURRENT_USER\\Software\\regdiff\\k", "HKEY_current_USER\\Software\\regdiff\\K", R + "\\k/sub",
    R + "\\k with space", R + "\\Grüße", R + "\\a\\b\\c", R, R + "\\", "HKCU", "HKCU\\", "HKCU\\\\",
    "\\HKCU\\Software\\regdiff\\k", "HKXX\\Software\\regdiff\\k", R + "\\" + "n" * 255,
    LONG_KEY, "", "\\\\machine\\HKCU\\Software\\regdiff\\k", "HKCU Software",
    "HKCU/Software/regdiff/k", " HKCU\\Software\\regdiff\\k", R + "\\k ", R + "\\.\\k", R + "\\..",
]

NAMES = ["Name", "", "with space", "back\\slash", "Grüße", "quote\"d", "x" * 300, "/v", "-d"]

DATA = {
    "REG_SZ": ["", "text", "two words", "Ünïcødé €", "a\\0b", "%PATH%", "trailing\\", "x" * 600],
    "REG_EXPAND_SZ": ["%PATH%;x", "", "plain"],
    "REG_MULTI_SZ": ["one\\0two", "one\\0", "\\0one", "one\\0\\0two", "\\0", "", "one", "a\\0b\\0",
                     "#", "a#b", "a##b", "a#", "#a", "a\\0b#c"],
    "REG_DWORD": ["0", "42", "0x1F", "0X1f", "-1", "-2147483648", "4294967295", "4294967296", "0x",
                  "abc", "", " 12", "012", "+5", "0xFFFFFFFF", "0x100000000", "1e3", "12abc", "0x-1", " -1", " ", "1x"],
    "REG_DWORD_LITTLE_ENDIAN": ["7", "0x10", "-3"],
    "REG_DWORD_BIG_ENDIAN": ["0x01020304", "5", "-1"],
    "REG_QWORD": ["0", "0x123456789abcdef", "18446744073709551615", "18446744073709551616", "-1",
                  "-9223372036854775808", "0xFFFFFFFFFFFFFFFF", "0x10000000000000000", "", "abc", "42"],
    "REG_BINARY": ["", "0102", "abc", "0", "zz", "01 02", "0x0102", "ABCDEF", "1"],
    "REG_NONE": ["", "text", "0102", "Ünï"],
}
TYPES = list(DATA) + ["reg_sz", "REG_FOO", "REG_LINK", "REG_RESOURCE_LIST", "", "4"]
SEPARATORS = ["#", "##", "", "\\0", ","]
HELP = ["/?", "-?", "/h", "-h", "-H", "/H", "--help"]


def switch(rng, name):
    return rng.choice(["/", "/", "-"]) + (name.upper() if rng.random() < 0.2 else name)


def sample_tree(rng):
    """A small tree below R\\q: values of several types, an unnamed value or not, sub-keys."""
    setup = [("key", "q")]
    utf8 = lambda s: s.encode("utf-8") + b"\0"
    pool = [("Name", REG_SZ, utf8("text")), ("Empty", REG_SZ, b"\0"), ("Size", REG_DWORD, b"\x2a\0\0\0"),
            ("Quad", REG_QWORD, bytes(range(8))), ("Bin", REG_BINARY, bytes([1, 2, 0xab])),
            ("Multi", REG_MULTI_SZ, b"one\0two\0\0"), ("Exp", REG_EXPAND_SZ, utf8("%PATH%")),
            ("None", REG_NONE, b""), ("Grüße", REG_SZ, utf8("Ünï")), ("Nul", REG_SZ, b"a\0b\0"),
            ("", REG_SZ, utf8("unnamed"))]
    for name, t, data in rng.sample(pool, rng.randint(0, len(pool))):
        setup.append(("value", "q", name, t, data))
    for sub in rng.sample(["q\\Sub", "q\\sub2", "q\\Sub\\Deep", "q\\Empty key"], rng.randint(0, 3)):
        setup.append(("key", sub))
        if rng.random() < 0.5:
            setup.append(("value", sub, rng.choice(["Name", "", "Size"]), REG_SZ, utf8("in " + sub)))
    return setup


def add_case(rng):
    cmd = ["add", rng.choice(KEYS) if rng.random() < 0.4 else R + "\\k"]
    opts = []
    which = rng.random()
    if which < 0.45:
        opts.append([switch(rng, "v"), rng.choice(NAMES)])
    elif which < 0.6:
        opts.append([switch(rng, "ve")])
    t = rng.choice(TYPES) if rng.random() < 0.7 else None
    if t is not None:
        opts.append([switch(rng, "t"), t])
    if rng.random() < 0.8:
        pool = DATA.get(t.upper() if t else "REG_SZ", DATA["REG_SZ"])
        opts.append([switch(rng, "d"), rng.choice(pool if rng.random() < 0.85 else DATA["REG_DWORD"])])
    if t and "MULTI" in t.upper() and rng.random() < 0.5:
        opts.append([switch(rng, "s"), rng.choice(SEPARATORS)])
    if rng.random() < 0.9:
        opts.append([switch(rng, "f")])
    if rng.random() < 0.05:
        opts.append(opts[0] if opts else ["/f"])  # a switch twice
    if rng.random() < 0.04:
        opts.append([rng.choice(["/x", "extra", "/v"])])  # an unknown switch, a stray word, a switch without its argument
    rng.shuffle(opts)
    for o in opts:
        cmd += o
    setup = []
    # The value or key may exist already; without /f reg would ask before replacing it, so then it does not.
    if rng.random() < 0.3 and ["/f"] in [[o[0].lower().replace("-", "/")] for o in opts]:
        setup = [("value", "k", rng.choice(["Name", ""]), REG_SZ, b"old\0")]
    case = {"cmd": cmd, "setup": setup, "probes": [(HKCU, "", n) for n in ("Name", "", "/v", "-d")]}
    if cmd[1] == LONG_KEY:
        case["expect"] = "refuse"  # Windows allows 255 characters in a key name; Wine's reg takes more
    return case


def query_case(rng):
    key = R + "\\q" + rng.choice(["", "", "\\", "\\Sub", "\\nope"]) if rng.random() < 0.9 else rng.choice(KEYS)
    cmd = ["query", key]
    opts = []
    r = rng.random()
    if r < 0.3:
        opts.append([switch(rng, "v"), rng.choice(["Name", "Size", "Multi", "nope", "", "grüsse", "NUL", "Empty"])])
    elif r < 0.45:
        opts.append([switch(rng, "ve")])
    if rng.random() < 0.4:
        opts.append([switch(rng, "s")])
    rng.shuffle(opts)
    for o in opts:
        cmd += o
    return {"cmd": cmd, "setup": sample_tree(rng)}


def delete_case(rng):
    key = R + "\\q" + rng.choice(["", "\\", "\\Sub", "\\nope"]) if rng.random() < 0.85 else rng.choice(KEYS[:14])
    cmd = ["delete", key]
    opts = [[switch(rng, "f")]]
    r = rng.random()
    if r < 0.35:
        opts.append([switch(rng, "v"), rng.choice(["Name", "Size", "nope", "", "grüsse"])])
    elif r < 0.5:
        opts.append([switch(rng, "ve")])
    elif r < 0.6:
        opts.append([switch(rng, "va")])
    rng.shuffle(opts)
    for o in opts:
        cmd += o
    return {"cmd": cmd, "setup": sample_tree(rng)}


def export_case(rng):
    key = R + "\\q" + rng.choice(["", "", "\\", "\\Sub", "\\nope"]) if rng.random() < 0.9 else rng.choice(KEYS[:14])
    r = rng.random()
    if r < 0.7:
        cmd = ["export", key, "t.reg"] + ([switch(rng, "y")] if rng.random() < 0.5 else [])
    elif r < 0.8:
        cmd = ["export", switch(rng, "y"), key, "t.reg"]
    elif r < 0.9:
        cmd = ["export", key, switch(rng, "y"), "t.reg"]
    else:
        cmd = ["export", key] + rng.choice([[], ["t.reg", "u.reg"], ["/x", "t.reg"]])
    case = {"cmd": cmd, "setup": sample_tree(rng), "collect": ["t.reg"]}
    if rng.random() < 0.2 and "/y" in [c.lower() for c in cmd] + ["-y"]:
        case["files"] = {"t.reg": b"an older file\n"}
    if rng.random() < 0.05 and key.rstrip("\\") == R + "\\q" and cmd[1:3] == [key, "t.reg"]:
        case["setup"].append(("value", "q", "line\nbreak", REG_SZ, b"x\0"))
        case["expect"] = "refuse"  # no .reg reader can read such a name back
        case.pop("files", None)
    return case


def help_case(rng):
    verb = rng.choice(["add", "query", "delete", "export", "import", "ADD", "Query"])
    cmd = [verb] + ([R + "\\k"] if rng.random() < 0.3 else []) + [rng.choice(HELP)]
    return {"cmd": cmd, "output": False}


KINDS = [(add_case, 0.42), (query_case, 0.25), (delete_case, 0.13), (export_case, 0.13), (help_case, 0.07)]


def generate(rng, count):
    cases = []
    for n in range(count):
        r, acc = rng.random(), 0.0
        for make, share in KINDS:
            acc += share
            if r < acc or make is KINDS[-1][0]:
                case = make(rng)
                break
        case["id"] = "%s-%d" % (case["cmd"][0].lower(), n)
        cases.append(case)
    return cases
