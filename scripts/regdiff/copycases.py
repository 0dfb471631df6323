"""Command lines of reg copy, generated from a seed (the family "copy" of run.py).

A source tree below R\\q (clicases.sample_tree), sometimes a destination R\\d that already holds values,
and a copy between keys as users write them: values only or the tree (/s), with or without /f.
Every case has "output": False: on success Wine's reg copy prints nothing where Windows' reg (and
cregistry) print "The operation completed successfully."; the trees and statuses are compared.

Left out, where Wine cannot be the oracle (the unit tests cover both): a copy without /f onto a value
that exists (Wine asks, and at the end of its input asks again without end); with /s, a destination
inside the source, which Wine copies into itself again and again until the path is too long, where
Windows and cregistry refuse it.
"""
from clicases import R, REG_SZ, REG_DWORD, sample_tree, switch

SOURCES = ["q", "q", "q", "q\\", "q\\Sub", "Q", "nope", ""]
DESTINATIONS = ["d", "d", "D", "new", "new\\deeper\\still", "d\\", "q\\Sub\\copy", "q", "Q\\"]
ROOT_FORMS = [R, R, "HKCU\\SOFTWARE\\REGDIFF", "HKEY_CURRENT_USER\\Software\\regdiff"]


def key(rng, sub):
    base = rng.choice(ROOT_FORMS)
    return base + ("\\" + sub if sub else "")


def copy_case(rng):
    setup = sample_tree(rng)
    src, dst = rng.choice(SOURCES), rng.choice(DESTINATIONS)
    tree, force = rng.random() < 0.55, rng.random() < 0.6
    if rng.random() < 0.5:
        # A destination that exists, with values of its own, some of them also in the source.
        setup.append(("key", "d"))
        for name, t, data in rng.sample([("Name", REG_SZ, b"mine\0"), ("Own", REG_SZ, b"kept\0"),
                                          ("Size", REG_DWORD, b"\1\0\0\0"), ("", REG_SZ, b"default\0")],
                                         rng.randint(1, 3)):
            setup.append(("value", "d", name, t, data))
        if rng.random() < 0.5:
            setup += [("key", "d\\Sub"), ("value", "d\\Sub", "Name", REG_SZ, b"deep\0")]
        force = True  # Wine asks, and never ends at the end of its input
    inside = src == "" or (src != "nope" and dst.lower().startswith(src.rstrip("\\").lower() + "\\"))
    if inside:
        tree = False  # Wine copies the tree into itself until the path is too long
    cmd = ["copy", key(rng, src), key(rng, dst)]
    opts = ([[switch(rng, "s")]] if tree else []) + ([[switch(rng, "f")]] if force else [])
    if not force:
        # No question can come up: the destination holds nothing of the source's.
        setup = [s for s in setup if not (s[0] == "value" and s[1].lower().startswith("d"))]
        if dst.lower().rstrip("\\") in ("q", "q\\sub\\copy") or src.lower().rstrip("\\") == dst.lower().rstrip("\\"):
            opts.append([switch(rng, "f")])
    rng.shuffle(opts)
    for o in opts:
        cmd += o
    return {"cmd": cmd, "setup": setup, "output": False}


def odd_case(rng):
    """Misuse: a missing KEY2, a switch reg copy does not have, help."""
    r = rng.random()
    if r < 0.35:
        cmd = ["copy", R + "\\q"]
    elif r < 0.65:
        cmd = ["copy", R + "\\q", R + "\\d", rng.choice(["/x", "/v", "/ve", "/s /f"])]
    elif r < 0.8:
        cmd = ["copy", R + "\\q", R + "\\d", switch(rng, "f"), switch(rng, "f")]
    else:
        cmd = ["copy", rng.choice(["/?", "-?", "/h"])]
    return {"cmd": cmd, "setup": sample_tree(rng), "output": False}


def generate(rng, count):
    cases = []
    for n in range(count):
        case = copy_case(rng) if rng.random() < 0.85 else odd_case(rng)
        case["id"] = "copy-%d" % n
        cases.append(case)
    return cases
