#!/usr/bin/env python3
"""Differential harness: cregistry against Wine's reg and regedit, case by case.

Cases are generated from a seed (clicases.py: reg's verbs and switches; importcases.py: .reg files) and
run in one batch per tool by regdiff_runner (tests/cregistry/regdiff). Each case starts from an empty
HKCU\\Software\\regdiff and reports the exit status, the output, the tree left behind and any file written.

  run.py check                  compare cregistry (native, and cregistry.exe under Wine) with the answers
                                recorded from Wine's reg (tests/cregistry/regdiff/wine-answers*.txt)
  run.py record [--family F] [--seed N --count M]   run Wine's reg on the cases and record its answers
  run.py live --seeds A-B [--count M]  Wine's reg and cregistry side by side, seed after seed
Options: --native-only (check without the Windows build), --keep DIR (keep the batches).

The cases come in families, each with its own generator, seed and recorded answers, so that a family
added later leaves the answers of the others as they are: "base" (clicases.py and importcases.py, in
wine-answers.txt) and those of FAMILIES (wine-answers-NAME.txt). record records every family, or --family.
A case may name a tree of its own ("tree": (root code, sub-path), for keys outside HKCU\\Software\\regdiff)
and another Wine program for the oracle ("wine": ["regedit.exe", "/s", "t.reg"]).

A case agrees when the exit statuses match, the output matches where the command succeeded (error texts
are cregistry's own), and the trees, probed values and written files are the same. An import that Wine
applies only in part (it left out a key or value the file names, or failed) must instead fail whole with
the tree untouched: that is cregistry's stricter rule.
"""
import argparse
import hashlib
import re
import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import clicases  # noqa: E402

try:
    import importcases  # noqa: E402
except ImportError:
    importcases = None

ANSWERS = os.path.join(REPO, "tests", "cregistry", "regdiff", "wine-answers.txt")
DEFAULT_SEED, DEFAULT_COUNT = 1, 400
# The code page of Wine's reg output when it goes to a file or pipe: the console's output code page, the
# OEM one (437 under Wine's default locale). cregistry.exe writes the same; cregistry on Linux UTF-8.
OEM = "cp437"

# Where Wine's reg prints other text than Windows' reg, the Windows text is what cregistry prints: these
# lines of Wine's output are read as Windows writes them.
WINE_TO_WINDOWS = [
    (re.compile(r"^reg: The operation completed successfully$"), "The operation completed successfully."),
    (re.compile(r"^Search complete\. Number of matches found: (\d+)$"), r"End of search: \1 match(es) found."),
]
# Wine's reg query shows REG_QWORD data as "(null)" (Windows shows 0x... as for REG_DWORD): that data is
# left out of the comparison of outputs; the trees compare the bytes.
QWORD_LINE = re.compile(r"^(    .*    REG_QWORD    ).*$")


def h(text):
    if isinstance(text, str):
        text = text.encode("utf-8", "surrogatepass")
    return text.hex() if text else "-"


def unh(word):
    return b"" if word == "-" else bytes.fromhex(word)


# name, module, seed, count: the families after "base".
FAMILIES = [("copy", "copycases", 1, 150), ("regedit31", "regedit31cases", 1, 80), ("views", "viewcases", 1, 120)]


def families(only=None):
    """(name, answers file, generator of (seed, count), seed, count) of each family there is."""
    found = [("base", ANSWERS, generate, DEFAULT_SEED, DEFAULT_COUNT)]
    for name, module, seed, count in FAMILIES:
        try:
            mod = __import__(module)
        except ImportError:
            continue
        found.append((name, os.path.join(os.path.dirname(ANSWERS), "wine-answers-%s.txt" % name),
                      lambda s, c, mod=mod: mod.generate(random.Random(s), c), seed, count))
    return [f for f in found if only is None or f[0] == only]


def generate(seed, count):
    rng = random.Random(seed)
    cases = clicases.generate(rng, count if importcases is None else count * 2 // 3)
    if importcases is not None:
        cases += importcases.generate(rng, count - len(cases))
    return cases


def encode(cases):
    lines = []
    for c in cases:
        lines.append("case " + c["id"])
        if "tree" in c:  # a tree of the case's own (root code, sub-path), not HKCU\Software\regdiff
            lines.append("tree %x %s" % (c["tree"][0], h(c["tree"][1])))
        if "program" in c:
            lines.append("program " + h(c["program"]))
        for s in c.get("setup", []):
            if s[0] == "key":
                lines.append("key " + h(s[1]))
            else:
                lines.append("value %s %s %d %s" % (h(s[1]), h(s[2]), s[3], h(s[4])))
        for name, data in c.get("files", {}).items():
            lines.append("file %s %s" % (h(name), h(data)))
        for name in c.get("collect", []):
            lines.append("collect " + h(name))
        for root, path, name in c.get("probes", []):
            lines.append("probe %x %s %s" % (root, h(path), h(name)))
        lines.append("run " + " ".join(h(a) for a in c["cmd"]))
        lines.append("end")
    return "\n".join(lines) + "\n"


def parse(text):
    results, cur = {}, None
    for line in text.splitlines():
        word, _, rest = line.partition(" ")
        if word == "case":
            cur = {"id": rest, "tree": [], "before": [], "probes": [], "files": []}
        elif word == "status":
            cur["status"] = int(rest)
        elif word in ("out", "err"):
            cur[word] = unh(rest)
        elif word in ("k", "bk"):
            cur["tree" if word == "k" else "before"].append(("k", unh(rest).decode("utf-8", "replace").lower()))
        elif word in ("v", "bv"):
            p, n, t, d = rest.split(" ")
            cur["tree" if word == "v" else "before"].append(("v", unh(p).decode("utf-8", "replace").lower(), unh(n).decode("utf-8", "replace"), int(t), unh(d)))
        elif word == "probe":
            rc, t, d = rest.split(" ")
            cur["probes"].append((int(rc), int(t), unh(d)) if rc == "0" else (int(rc) != 0,))
        elif word == "file":
            rc, d = rest.split(" ")
            cur["files"].append((int(rc), unh(d)))
        elif word == "end":
            results[cur["id"]] = cur
    return results


def output_lines(raw, wine):
    """The lines of an output, read as Windows writes them. Wine lists a key's values in name order and
    Windows (and the store) in creation order, so each key's run of value lines compares as a sorted run."""
    text = raw.decode(OEM if wine else "utf-8", "replace").replace("\r\n", "\n")
    lines, run = [], []
    for line in text.split("\n"):
        if wine:
            for pattern, windows in WINE_TO_WINDOWS:
                line = pattern.sub(windows, line)
        line = QWORD_LINE.sub(r"\1*", line)
        if line.startswith("    "):
            run.append(line)
            continue
        lines += sorted(run) + [line]
        run = []
    return lines + sorted(run)


def canonical(tree):
    """A tree as a sorted list: Wine lists values in name order, Windows and the store in creation order."""
    return sorted(tree, key=repr)


def names_in(tree):
    keys = {e[1] for e in tree if e[0] == "k"}
    values = {(e[1], e[2].lower()) for e in tree if e[0] == "v"}
    return keys, values


def compare(case, wine, ours):
    """The differences between Wine's answer and ours, as a list of texts (empty when they agree)."""
    problems = []
    if case["cmd"][0].lower() == "export" and wine["status"] == 0 and not wine["out"]:
        # Windows' reg export says that it succeeded; Wine's says nothing.
        wine = dict(wine, out=b"reg: The operation completed successfully\r\n")
    if case["cmd"][0].lower() == "import":
        keys, values = names_in(wine["tree"])
        complete = wine["status"] == 0 and all(
            (p.lower() in keys) if n is None else ((p.lower(), n.lower()) in values) for p, n in
            ((rel(p), n) for p, n in case.get("names", [])))
        if ours["status"] != 0:
            if complete:
                problems.append("Wine imports the whole file; cregistry refuses it: %s" % ours["err"].decode("utf-8", "replace").strip())
            if canonical(ours["tree"]) != canonical(ours["before"]):
                problems.append("cregistry failed but changed the tree")
            return problems
        if not complete:
            problems.append("Wine applies this file only in part; cregistry must refuse it whole")
    elif case.get("expect") == "refuse":
        # cregistry refuses on purpose what Wine does (say, a name no .reg reader can read back).
        if ours["status"] == 0 or ours["files"] != [(2, b"")] * len(case.get("collect", [])):
            problems.append("cregistry must refuse this and write no file")
        return problems
    elif ours["status"] != wine["status"]:
        problems.append("status %d, Wine %d" % (ours["status"], wine["status"]))
    if ours["status"] == 0 and wine["status"] == 0 and case.get("output", True) and output_lines(ours["out"], False) != output_lines(wine["out"], True):
        problems.append("output differs:\n  ours: %r\n  Wine: %r" % (ours["out"].decode("utf-8", "replace"), wine["out"].decode("utf-8", "replace")))
    if canonical(ours["tree"]) != canonical(wine["tree"]):
        problems.append("tree differs:\n  ours: %s\n  Wine: %s" % (ours["tree"], wine["tree"]))
    if ours["probes"] != wine["probes"]:
        problems.append("probed values differ: ours %s, Wine %s" % (ours["probes"], wine["probes"]))
    if [regfile_entries(f) for f in ours["files"]] != [regfile_entries(f) for f in wine["files"]]:
        problems.append("written files differ:\n  ours: %r\n  Wine: %r" % (ours["files"], wine["files"]))
    return problems


def regfile_entries(written):
    """A written .reg file with each key's values in name order (Wine writes them so, Windows and the
    store in creation order); everything else byte for byte."""
    rc, data = written
    if not data.startswith(b"\xff\xfe"):
        return written
    sections = data[2:].decode("utf-16-le").split("\r\n\r\n")
    out = []
    for section in sections:
        entries = []
        for line in section.split("\r\n"):
            if line.startswith("  ") and entries:
                entries[-1] += "\r\n" + line
            else:
                entries.append(line)
        out.append(entries[:1] + sorted(entries[1:]))
    return rc, out


def rel(path):
    prefix = "hkey_current_user\\software\\regdiff"
    p = path.lower()
    return p[len(prefix) + 1:] if p.startswith(prefix + "\\") else ("" if p == prefix else p)


def builds():
    native = os.environ.get("NATIVE_BUILD", os.path.join(REPO, "build", "native"))
    windows = os.environ.get("WINDOWS_BUILD", os.path.join(REPO, "build", "windows"))
    return native, windows


def run_batch(runner, program, cases, workdir, wine_run=None):
    os.makedirs(workdir, exist_ok=True)
    with open(os.path.join(workdir, "cases.txt"), "w", encoding="utf-8") as f:
        f.write(encode(cases))
    argv = [runner, program, "cases.txt", "results.txt"]
    if wine_run:
        argv = [wine_run] + argv
    subprocess.run(argv, cwd=workdir, check=True, stdin=subprocess.DEVNULL)
    with open(os.path.join(workdir, "results.txt"), encoding="utf-8") as f:
        return parse(f.read())


def wine_answers(cases, workdir):
    """Wine's answers: each case through Wine's reg, or through the program and arguments of its "wine"
    field (["regedit.exe", "/s", "t.reg"]) where cregistry's command has another Wine program for oracle."""
    _, windows = builds()
    cases = [dict(c, program=c["wine"][0], cmd=c["wine"][1:]) if "wine" in c else c for c in cases]
    return run_batch(os.path.join(windows, "tests", "cregistry", "regdiff_runner.exe"), "reg.exe", cases,
                     workdir, os.path.join(windows, "wine-run"))


def ours(cases, workdir, native_only):
    native, windows = builds()
    got = {"native": run_batch(os.path.join(native, "tests", "cregistry", "regdiff_runner"),
                               os.path.join(native, "cregistry"), cases, os.path.join(workdir, "native"))}
    if not native_only:
        exe = "Z:" + os.path.join(windows, "cregistry.exe").replace("/", "\\")
        got["windows"] = run_batch(os.path.join(windows, "tests", "cregistry", "regdiff_runner.exe"), exe, cases,
                                   os.path.join(workdir, "windows"), os.path.join(windows, "wine-run"))
    return got


def report(cases, wine, got):
    failures = 0
    for name, results in got.items():
        for c in cases:
            if name == "windows" and len(c["cmd"]) > 1 and len(c["cmd"][1]) > 260:
                # Wine's advapi32 takes at most 260 characters of path through the narrow calls that
                # cregistry.exe makes (it converts into a buffer of MAX_PATH); reg.exe calls the wide ones.
                continue
            problems = compare(c, wine[c["id"]], results[c["id"]]) if c["id"] in results else ["no result"]
            if problems:
                failures += 1
                if failures <= 40:
                    print("FAIL %s %s: %s\n  %s" % (name, c["id"], c["cmd"], "\n  ".join(problems)))
    print("%d case(s) x %d build(s): %d disagreement(s)" % (len(cases), len(got), failures))
    return failures


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", choices=["check", "record", "live"])
    ap.add_argument("--seed", type=int)
    ap.add_argument("--seeds", default="1-5")
    ap.add_argument("--count", type=int)
    ap.add_argument("--family")
    ap.add_argument("--native-only", action="store_true")
    ap.add_argument("--keep")
    args = ap.parse_args()
    work = args.keep or tempfile.mkdtemp(prefix="regdiff-")
    if args.mode == "record":
        for name, answers, gen, seed, count in families(args.family):
            if name == "base" or args.family:
                seed, count = args.seed if args.seed is not None else seed, args.count or count
            cases = gen(seed, count)
            text = encode(cases)
            run_batch_dir = os.path.join(work, "wine-" + name)
            wine_answers(cases, run_batch_dir)
            with open(os.path.join(run_batch_dir, "results.txt"), encoding="utf-8") as f:
                results = f.read()
            with open(answers, "w", encoding="utf-8") as f:
                f.write("# Wine's reg on the cases of seed %d, count %d; cases %s\n" %
                        (seed, count, hashlib.sha256(text.encode()).hexdigest()))
                f.write(results)
            print("recorded %d answers in %s" % (len(cases), os.path.relpath(answers, REPO)))
        return 0
    if args.mode == "check":
        cases, recorded = [], {}
        for name, answers, gen, _, _ in families(args.family):
            if not os.path.exists(answers):
                print("regdiff: no answers recorded for the family %s: run scripts/regdiff/run.py record "
                      "--family %s" % (name, name), file=sys.stderr)
                return 1
            with open(answers, encoding="utf-8") as f:
                header = re.match(r".*seed (\d+), count (\d+); cases (\w+)", f.readline())
                recorded.update(parse(f.read()))
            family = gen(int(header[1]), int(header[2]))
            if hashlib.sha256(encode(family).encode()).hexdigest() != header[3]:
                print("regdiff: the generated cases of the family %s differ from those whose answers are "
                      "recorded: run scripts/regdiff/run.py record --family %s" % (name, name), file=sys.stderr)
                return 1
            cases += family
        failures = report(cases, recorded, ours(cases, work, args.native_only))
        return 1 if failures else 0
    total = 0
    first, _, last = args.seeds.partition("-")
    for seed in range(int(first), int(last or first) + 1):
        cases = []
        for name, _, gen, _, count in families(args.family):
            cases += gen(seed, args.count or count)
        wine = wine_answers(cases, os.path.join(work, "wine-%d" % seed))
        print("seed %d:" % seed, end=" ")
        total += report(cases, wine, ours(cases, os.path.join(work, "ours-%d" % seed), args.native_only))
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
