"""Windows 3.1 REGEDIT files for `import`, generated from a seed: the header "REGEDIT", then lines
"HKEY_CLASSES_ROOT\\path = text" (each sets the key's unnamed value, REG_SZ), in every spacing and key
form that regedit reads, with blank and comment lines, and files with one line that regedit skips.

Each case: {"id": "r31-...", "files": {"t.reg": bytes}, "cmd": ["import", "t.reg"], "wine": ["regedit.exe",
"/s", "t.reg"], "tree": (HKCR, "regdiff31"), "names": [[sub path, None or ""], ...], "probes": [...],
"output": False} and at times "setup". The oracle is Wine's regedit (run.py's wine_answers runs the "wine"
command in place of reg), cregistry runs `import`. The runner dumps HKEY_CLASSES_ROOT\\regdiff31 (the
case's "tree", emptied before the case) instead of HKCU\\Software\\regdiff, and probes the unnamed value
of HKEY_CLASSES_ROOT itself, which "HKEY_CLASSES_ROOT = text" sets (emptied before the case too). The
names are every key and unnamed value that the file means to leave, relative to the tree; a line that
regedit skips always names one, so that what regedit leaves out shows (cregistry refuses such files).

Left out on purpose: key names over 255 characters (Wine takes them, Windows and the store do not), and
8-bit files that are well-formed UTF-8 with other characters than ASCII (regedit reads them in the ANSI
code page, cregistry as UTF-8 unless /cp says otherwise; see importcases.py).
"""

HKCR = 0x80000000
TREE = "regdiff31"
ROOT = "HKEY_CLASSES_ROOT"
R = ROOT + "\\" + TREE

# The characters that end a key name for regedit: iswspace under Wine, found by trying every character
# of the Basic Multilingual Plane in a key name.
WHITE = set(map(chr, [0x09, 0x0B, 0x0C, 0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000]
                + list(range(0x2000, 0x200B))))

KEY_NAMES = ["k", "Key", "KEY", ".txt", "txtfile", "CLSID", "{0000002F-0000-0000-C000-000000000046}", "shell",
             "open", "command", "a=b", "x\"q", "[brk]", "semi;colon", "#hash", "sl/ash", "-dash", "@", "Grüße",
             "€uro", "ünï", "日本語", "🙂smile"]
TEXTS = ["", "text", "two words", " lead", "trail ", "C:\\Program Files\\App\\app.exe \"%1\"", "a = b", "=x",
         "\"quoted\"", "semi;colon", "# hash", "[not a key]", "\\n no escape \\\\", "tab\there", "Ünïcødé €",
         "日本語テキスト", "🙂 smile", "x" * 700, "HKEY_CLASSES_ROOT\\x = y", "end\\"]
# What stands between the key name and the text.
SEPARATORS = [" = "] * 6 + ["=", " ", "\t", "  =  ", "\t=\t", " =", "= ", " ==", " = = ", "", "\x0b", "\x0c",
                            " \x0b", "\xa0", "\u3000", "\u2003", "\x85", "\u3000= "]
HEADERS_OK = ["REGEDIT"] * 8 + [" REGEDIT", "\tREGEDIT"]
HEADERS_BAD = ["REGEDIT ", "regedit", "REGEDIT3", "REGEDIT 3.1", "Regedit"]


def model(line):
    """(path below HKEY_CLASSES_ROOT, text) as regedit reads the line, or None where it skips it."""
    if not line.startswith(ROOT):
        return None
    end = next((i for i, ch in enumerate(line) if ch in WHITE), len(line))
    i = end
    while i < len(line) and line[i] in " \t":
        i += 1
    i += line[i:i + 1] == "="
    i += line[i:i + 1] == " "
    root, _, path = line[:end].partition("\\")
    if root != ROOT or path.startswith("\\"):
        return None
    return "\\".join(p for p in path.split("\\") if p), line[i:] if i > end else ""


class File:
    def __init__(self, rng, encoding):
        self.rng, self.encoding = rng, encoding
        self.lines = []
        self.keys = {}  # sub path (lower) below the tree -> (sub path, whether its unnamed value is set)
        self.skipped = set()  # the keys of lines that regedit skips: no later line names them

    def fits(self, text):
        if self.encoding == "utf16":
            return True
        if self.encoding == "ascii":
            return text.isascii()
        try:
            text.encode("cp1252")
            return True
        except UnicodeEncodeError:
            return False

    def pick(self, pool):
        return self.rng.choice([t for t in pool if self.fits(t)])

    def mean(self, sub, value=True):
        """The file means to leave the key sub (below the tree) and, with value, its unnamed value."""
        parts = [p for p in sub.split("\\") if p]
        for n in range(len(parts) + 1):
            path = "\\".join(parts[:n])
            known = self.keys.get(path.lower(), (path, False))
            self.keys[path.lower()] = (known[0], known[1] or (value and n == len(parts)))

    def line(self, text):
        """A line that regedit reads: what it leaves is what the model says."""
        self.lines.append(text)
        parsed = model(text)
        assert parsed is not None, text
        path, _ = parsed
        if path.lower() == TREE.lower() or path.lower().startswith(TREE.lower() + "\\"):
            self.mean(path[len(TREE) + 1:])
        else:
            assert path == "", text  # the root's own unnamed value, which the probe reads

    def sub(self):
        rng = self.rng
        parts = [self.pick(KEY_NAMES) for _ in range(rng.choice([1, 1, 1, 2, 3]))]
        joint = rng.choice(["\\"] * 8 + ["\\\\"])
        return joint.join(parts) + rng.choice([""] * 9 + ["\\"])

    def key_line(self, sub=None):
        sub = sub if sub is not None else self.sub()
        sep, text = self.pick(SEPARATORS), self.pick(TEXTS)
        line = "%s\\%s%s%s" % (R, sub, sep, text)
        if any(len(p.encode("utf-16-le")) > 2 * 255 for p in model(line)[0].split("\\")):
            line = "%s\\%s%s" % (R, sub, sep)  # the text made the key name too long: Windows refuses it
        self.line(line)

    def junk_line(self):
        """A line that regedit skips: it names a key of its own, which regedit leaves out."""
        name = "junk%d" % len(self.skipped)
        self.skipped.add(name)
        form = self.rng.choice([
            " %s\\%s = x", "\t%s\\%s = x", "hkey_classes_root\\regdiff31\\%s = x", "HKCR\\regdiff31\\%s = x",
            "HKEY_CURRENT_USER\\Software\\regdiff\\%s = x", "[%s\\%s]", "HKEY_CLASSES_ROOTX\\regdiff31\\%s = x",
            "HKEY_CLASSES_ROOT\\\\regdiff31\\%s = x", "%s = x", "\"%s\"=\"x\""])
        self.lines.append(form % ((R, name) if form.count("%s") == 2 else (name,)))
        assert model(self.lines[-1]) is None, self.lines[-1]
        self.mean(name)

    def fill(self, count, first=False):
        rng = self.rng
        for n in range(count):
            what = 2 if first and n == 0 else rng.randrange(10)
            if what == 0:
                self.lines.append(rng.choice(["", "  ", "; comment", "# comment", "  ;indented", "\t# tab"]))
            elif what == 1 and any(p and p.split("\\")[0] not in self.skipped for p, _ in self.keys.values()):
                # The same key again, in another letter case at times: the last text wins.
                path = rng.choice([p for p, _ in self.keys.values() if p and p.split("\\")[0] not in self.skipped])
                self.key_line(path.upper() if rng.random() < 0.3 else path)
            else:
                self.key_line()

    def encode(self, header, eol, last_eol=True):
        lines = [header] + self.lines
        if self.encoding == "cp1252":
            lines.append("; caf\xe9")  # never well-formed UTF-8: read as Windows-1252 by both
        text = eol.join(lines) + (eol if last_eol else "")
        if self.encoding == "utf16":
            return b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass")
        return text.encode("cp1252")

    def names(self):
        out = []
        for path, value in self.keys.values():
            out.append([path, None])
            if value:
                out.append([path, ""])
        return out


def make(rng, n):
    encoding = rng.choice(["utf16", "utf16", "cp1252", "ascii"])
    f = File(rng, encoding)
    rule = rng.choice(["valid"] * 9 + ["junk"] * 4 + ["header", "root", "tree", "setup"])
    setup = []
    header, bom = rng.choice(HEADERS_OK), b""
    f.fill(rng.choice([1, 3, 8, 20]), first=True)
    if rule == "junk":
        f.junk_line()
        f.fill(rng.choice([0, 1, 3]))
    elif rule == "header":
        if encoding != "utf16" and rng.random() < 0.3:
            bom = b"\xef\xbb\xbf"  # a UTF-8 byte order mark, which regedit refuses
        else:
            header = rng.choice(HEADERS_BAD)
    elif rule == "root":  # the unnamed value of the root itself
        f.line("%s%s%s" % (ROOT, rng.choice(["", "\\"]), rng.choice([" = ", " ", "\t="])) + f.pick(TEXTS))
        f.fill(rng.choice([0, 1, 3]))
    elif rule == "tree":  # the unnamed value of the tree's own key
        f.line("%s%s" % (R, rng.choice([" = ", "\\ = ", "\t"])) + f.pick(TEXTS))
    elif rule == "setup":  # a key that holds values already: its unnamed value is replaced, the rest kept
        setup = [["value", "pre", "", 1, "old\0".encode()], ["value", "pre", "keep", 4, b"\x2a\0\0\0"],
                 ["key", "pre\\below"]]
        f.key_line("pre")
        f.keys["pre\\below"] = ("pre\\below", False)
    eol = rng.choice(["\r\n"] * 8 + ["\n", "\r"])
    data = bom + f.encode(header, eol, rng.random() < 0.9)  # at times no line end after the last line
    case = {"id": "r31-%s-%s-%d" % (rule, encoding, n), "files": {"t.reg": data},
            "cmd": ["import", "t.reg"], "wine": ["regedit.exe", "/s", "t.reg"], "tree": (HKCR, TREE),
            "names": f.names(), "probes": [(HKCR, "", "")], "output": False}
    if setup:
        case["setup"] = setup
    return case


def generate(rng, count):
    return [make(rng, n) for n in range(count)]
