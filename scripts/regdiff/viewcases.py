"""Command lines of every verb with /reg:32 and /reg:64, generated from a seed (the family "views").

Wine's 64-bit prefix redirects as 64-bit Windows does for HKLM\\SOFTWARE: the 32-bit view keeps
HKLM\\SOFTWARE\\X in HKLM\\SOFTWARE\\Wow6432Node\\X. Each case's tree is that place for X = regdiffv
(HKLM\\SOFTWARE\\Wow6432Node\\regdiffv): its setup (clicases.sample_tree) is what the 32-bit view sees
at HKLM\\SOFTWARE\\regdiffv, and what a verb changes there shows in the tree. A verb in the 64-bit view
(/reg:64, or no switch) works on a key of its own, c<N> beside the tree, read back by probes, so that
nothing it leaves behind meets another case. Left out, where Wine differs from Windows 7 and later:
HKLM\\SOFTWARE\\Classes (Wine redirects it whole, Windows shares all but its COM keys) and the COM keys
of HKCU\\Software\\Classes (which Wine does not redirect).
"""
from clicases import sample_tree, switch

HKLM = 0x80000002
LOGICAL = "HKLM\\SOFTWARE\\regdiffv"
TREE = (HKLM, "SOFTWARE\\Wow6432Node\\regdiffv")
FORMS = ["HKLM\\SOFTWARE\\regdiffv", "HKEY_LOCAL_MACHINE\\Software\\regdiffv", "hklm\\software\\REGDIFFV"]


def view(rng):
    return rng.choice(["/reg:32", "/reg:32", "/REG:32", "-reg:32"])


def in32(rng, n):
    """A verb on the tree, in the 32-bit view."""
    base = rng.choice(FORMS)
    r = rng.random()
    if r < 0.3:
        cmd = ["query", base + rng.choice(["\\q", "\\q", "\\q\\Sub", "\\nope"])] + rng.choice(
            [[], [switch(rng, "s")], [switch(rng, "v"), "Name"], [switch(rng, "ve")]])
    elif r < 0.5:
        cmd = ["add", base + rng.choice(["\\q", "\\q\\new", "\\fresh\\deep"]), switch(rng, "v"), "x",
               switch(rng, "d"), "32", switch(rng, "f")]
    elif r < 0.65:
        cmd = ["delete", base + rng.choice(["\\q", "\\q\\Sub", "\\nope"]), switch(rng, "f")] + rng.choice(
            [[], [switch(rng, "v"), "Name"], [switch(rng, "va")]])
    elif r < 0.8:
        cmd = ["copy", base + "\\q", base + rng.choice(["\\d", "\\q2\\x"]), switch(rng, "s"), switch(rng, "f")]
    elif r < 0.9:
        cmd = ["export", base + "\\q", "t.reg", switch(rng, "y")]
    else:
        text = "Windows Registry Editor Version 5.00\r\n\r\n[%s\\imp]\r\n\"x\"=\"32\"\r\n" % (
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\regdiffv")
        return {"cmd": ["import", "t.reg", view(rng)], "setup": sample_tree(rng), "tree": TREE, "output": False,
                "files": {"t.reg": b"\xff\xfe" + text.encode("utf-16-le")}, "names": [["imp", "x"]]}
    pos = rng.randint(2, len(cmd))
    cmd.insert(pos, view(rng))
    case = {"cmd": cmd, "setup": sample_tree(rng), "tree": TREE}
    if cmd[0] == "export":
        case["collect"] = ["t.reg"]
    if cmd[0] in ("copy",):
        case["output"] = False  # Wine's reg copy prints nothing on success
    return case


def in64(rng, n):
    """A verb in the 64-bit view, on a key of this case's own: the tree (the 32-bit view) stays as it was."""
    key = "%s\\c%d" % (rng.choice(FORMS), n)
    flag = rng.choice([[], ["/reg:64"], ["-REG:64"]])
    r = rng.random()
    if r < 0.6:
        cmd = ["add", key, switch(rng, "v"), "x", switch(rng, "d"), "64", switch(rng, "f")] + flag
    else:
        cmd = ["query", LOGICAL + "\\q"] + flag  # what the 32-bit view holds is not there
    return {"cmd": cmd, "setup": sample_tree(rng), "tree": TREE,
            "probes": [(HKLM, "SOFTWARE\\regdiffv\\c%d" % n, "x"), (HKLM, "SOFTWARE\\Wow6432Node\\regdiffv\\c%d" % n, "x")]}


def odd_case(rng, n):
    """Both views at once, or one twice."""
    cmd = ["query", LOGICAL + "\\q"] + rng.choice([["/reg:32", "/reg:64"], ["/reg:64", "/reg:32"], ["/reg:32", "/reg:32"]])
    return {"cmd": cmd, "setup": sample_tree(rng), "tree": TREE, "output": False}


def generate(rng, count):
    cases = []
    for n in range(count):
        r = rng.random()
        case = in32(rng, n) if r < 0.7 else in64(rng, n) if r < 0.93 else odd_case(rng, n)
        case["id"] = "view-%d" % n
        cases.append(case)
    return cases
