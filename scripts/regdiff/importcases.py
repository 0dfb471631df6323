""".reg files for `import`, generated from a seed: valid files in every encoding, and files broken or
stretched one rule at a time.

Each case: {"id", "files": {"t.reg": bytes}, "cmd": ["import", "t.reg"], "names": [[key path, value
name or None], ...]}: every key and value that the file means to leave behind, below
HKEY_CURRENT_USER\\Software\\regdiff. A rule that regedit reads past (it skips the line and goes on)
is always placed on a line that means to write something, so that what regedit leaves out shows.

The encodings: UTF-16LE with a BOM (what regedit writes), and 8-bit files in Windows-1252 (the text
made of any Windows-1252 characters, the file never well-formed UTF-8) or in ASCII. An 8-bit file that
is well-formed UTF-8 with other characters than ASCII is read as UTF-8 by cregistry and in the ANSI
code page by regedit (Windows-1252 under Wine): those cases carry "cmd_ours", the same import with
/cp 1252, and are made only when OURS_CMD is true (the runner must then run cmd_ours for cregistry).
Every case has "output": False: Wine's reg import prints nothing on success and warnings of its own.

Left out on purpose, where Wine does what Windows does not: string data in hex of odd length in a
UTF-16 file (Wine appends to it or crashes), empty string data in hex followed by a comment (Wine
crashes), key names over 255 characters (Wine takes them). Left out because the names cannot show
it: a line that regedit skips which would only have deleted something ("v"=-x).
"""

R = "HKEY_CURRENT_USER\\Software\\regdiff"
ROOT_FORMS = [R, R, "HKCU\\Software\\regdiff", "hkey_current_user\\software\\regdiff", "HKCU\\SOFTWARE\\REGDIFF"]
UNICODE_HEADER, ANSI_HEADER = "Windows Registry Editor Version 5.00", "REGEDIT4"
OURS_CMD = False

KEY_NAMES = ["k", "Sub Key", "a]b", "x[y", "dot.name", "sl/ash", "@", "semi;colon", "eq=sign", " lead", "trail ",
             "Grüße", "ünï cødé", "€uro", "日本語", "🙂smile"]
VALUE_NAMES = ["", "v", "Name", "NAME", "with space", "quote\"d", "back\\slash", "trail\\", "semi;colon",
               "eq=sign", "hash#", "[brk]", "@", "line\nbreak", "Grüße", "€", "日本", "🙂", "x" * 300]
TEXTS = ["", "text", "two words", "C:\\Program Files\\x\\", "say \"hi\"", "semi;colon # hash", "%PATH%;x",
         "line1\r\nline2", "tab\there", "Ünïcødé €", "日本語テキスト", "🙂 smile", "x" * 700, "=", "[not a key]"]


def cp1252_ok(text):
    try:
        text.encode("cp1252")
        return True
    except UnicodeEncodeError:
        return False


class File:
    """A file being generated: its statements as lines, and the tree it means to leave behind."""

    def __init__(self, rng, encoding):
        self.rng, self.encoding = rng, encoding
        self.lines = []
        self.keys = {}  # canonical sub path (lower) -> (sub path, {value name lower: value name})
        self.current = None
        self.protected = set()  # keys that hold what a rule placed: later statements leave them alone

    def fits(self, text):
        if self.encoding == "utf16":
            return True
        if self.encoding == "ascii":
            return text.isascii()
        return cp1252_ok(text)

    def pick(self, pool):
        return self.rng.choice([t for t in pool if self.fits(t)])

    # ---- statements ------------------------------------------------------------------------------

    def key(self, sub, form=None):
        form = form or self.rng.choice(ROOT_FORMS)
        self.lines.append("[%s\\%s]" % (form, sub))
        canon = "\\".join(p for p in sub.split("\\") if p)
        parts = canon.split("\\")
        for i in range(1, len(parts) + 1):
            path = "\\".join(parts[:i])
            self.keys.setdefault(path.lower(), (path, {}))
        self.current = canon.lower()
        return canon

    def delete_key(self, sub):
        self.lines.append("[-%s\\%s]" % (self.rng.choice(ROOT_FORMS), sub))
        low = sub.lower()
        for k in list(self.keys):
            if k == low or k.startswith(low + "\\"):
                del self.keys[k]
        self.current = None

    def value(self, name, data_text):
        lead = "@" if name == "" and self.rng.random() < 0.7 else '"%s"' % escape(name)
        eq = self.rng.choice(["=", "=", "=", " = ", "\t=\t", "= "])
        self.lines.append(lead + eq + data_text)
        self.keys[self.current][1].setdefault(name.lower(), name)

    def delete_value(self, name):
        self.lines.append('"%s"=%s' % (escape(name), self.rng.choice(["-", "-", " -", "- "])))
        self.keys[self.current][1].pop(name.lower(), None)

    def names(self):
        out = []
        for path, values in self.keys.values():
            out.append([R + "\\" + path, None])
            out += [[R + "\\" + path, v] for v in values.values()]
        return out

    # ---- data ------------------------------------------------------------------------------------

    def string_bytes(self, text):
        """String data in hex: UTF-16LE in a UTF-16 file, the code page's bytes in an 8-bit one."""
        if self.encoding == "utf16":
            return text.encode("utf-16-le")
        data = text.encode("cp1252")
        if any(b >= 0x80 for b in data) and valid_utf8(data):
            data = text.encode("ascii", "replace")  # well-formed UTF-8 would be read as UTF-8
        return data

    def random_data(self):
        rng = self.rng
        kind = rng.randrange(10)
        if kind <= 2:
            return '"%s"' % escape(self.pick(TEXTS))
        if kind == 3:
            return "dword:" + rng.choice(["", " "]) + ("%0" + str(rng.randint(1, 8)) + "x") % rng.getrandbits(rng.choice([4, 16, 32])) \
                if rng.random() < 0.5 else "dword:%08X" % rng.getrandbits(32)
        if kind in (4, 5):
            return self.hex_text("hex:", bytes(rng.getrandbits(8) for _ in range(rng.choice([0, 1, 4, 30, 100, 400]))))
        if kind == 6:
            t = rng.choice([1, 2, 7])
            if t == 7:
                items = [self.pick(TEXTS) for _ in range(rng.randint(0, 3))]
                text = "".join(s + "\0" for s in items) + ("\0" if rng.random() < 0.8 else "")
            else:
                text = self.pick(TEXTS) + ("\0" if rng.random() < 0.7 else "")
            return self.hex_text("hex(%x):" % t, self.string_bytes(text))
        if kind == 7:
            return self.hex_text("hex(b):", bytes(rng.getrandbits(8) for _ in range(8)))
        t = rng.choice([0, 3, 4, 5, 0xb, 0x20, 0xffff, 0x7fffffff])
        size = 4 if t in (4, 5) else rng.choice([0, 2, 4, 9])
        return self.hex_text(rng.choice(["hex(%x):", "hex(%X):", "hex(%08x):"]) % t,
                             bytes(rng.getrandbits(8) for _ in range(size)))

    def hex_text(self, prefix, data, decorate=True):
        """Hex data as regedit writes it (lines of about 80 characters, continued with a backslash),
        with what regedit also reads: upper-case digits, one trailing comma, blanks after commas and the
        prefix, comments and blank lines inside the continuation."""
        rng = self.rng
        digits = "%02X" if decorate and rng.random() < 0.2 else "%02x"
        items = [digits % b for b in data]
        if decorate and rng.random() < 0.1:
            items = [i.lstrip("0") or "0" for i in items]  # one-digit bytes
        sep = ", " if decorate and rng.random() < 0.1 else ","
        text = prefix + (" " if decorate and rng.random() < 0.1 else "")
        width = len(text) + 8
        out = []
        for n, item in enumerate(items):
            last = n == len(items) - 1
            piece = item + ("" if last else sep)
            if width + len(piece) > 77 and not last:
                out.append(text + piece.rstrip() + "\\" + (self.rng.choice(["", " ", " ;c", "\t; after"]) if decorate else ""))
                if decorate and rng.random() < 0.1:
                    out.append(rng.choice(["", "  ", "; a comment", "  ;indented"]))
                text, width = "  ", 2
                continue
            text += piece
            width += len(piece)
        if decorate and items and rng.random() < 0.1:
            text += ","
        out.append(text)
        return "\r\n".join(out)

    # ---- the file --------------------------------------------------------------------------------

    def fill(self, statements):
        rng = self.rng
        self.key(self.pick(KEY_NAMES))
        for _ in range(statements):
            what = rng.randrange(12)
            if what == 0:
                self.key(self.pick(KEY_NAMES) + ("\\" + self.pick(KEY_NAMES) if rng.random() < 0.4 else ""))
            elif what == 1 and len(self.keys) > len(self.protected) + 1:
                sub = rng.choice([p for k, (p, _) in self.keys.items()
                                  if not any(k == q or q.startswith(k + "\\") for q in self.protected)])
                self.delete_key(sub)
                self.key(self.pick(KEY_NAMES))
            elif what == 2 and self.keys[self.current][1]:
                self.delete_value(rng.choice(list(self.keys[self.current][1].values())))
            elif what == 3:
                self.lines.append(rng.choice(["", "; comment", "# comment", "  ;indented", "\t# tab"]))
            else:
                data = self.random_data()
                # Wine's reg crashes on empty string data in hex followed by a comment (Windows does not).
                ends = ["", "", " ", "\t"] + ([" ;c"] if not data.rstrip().endswith(":") else [])
                if data.endswith(","):  # blanks after the last comma of a continued line: regedit drops it
                    ends = ["", ";c", " ;c"]
                # A name set twice would hide a second setting that regedit skipped: each name once a key.
                free = [n for n in VALUE_NAMES if self.fits(n) and n.lower() not in self.keys[self.current][1]]
                if free:
                    self.value(rng.choice(free), data + rng.choice(ends))

    def encode(self, text_lines, header=None, eol="\r\n"):
        header = header if header is not None else (
            UNICODE_HEADER if self.encoding == "utf16" or self.rng.random() < 0.3 else ANSI_HEADER)
        text = eol.join([header, ""] + text_lines) + eol
        if self.encoding == "utf16":
            return b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass")
        data = text.encode("cp1252")
        if self.encoding == "cp1252":
            data += b"; caf\xe9" + eol.encode()  # never well-formed UTF-8: read as Windows-1252 by both
        return data


def escape(text):
    return text.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n").replace("\r", "\\r")


def unescape(text):
    """A quoted name as regedit reads it; one it refuses stays as written (and so is not found)."""
    out, i = "", 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            e = text[i + 1]
            if e == "0":
                return text
            out += {"n": "\n", "r": "\r"}.get(e, e)
            i += 2
        else:
            out += text[i]
            i += 1
    return out


def valid_utf8(data):
    try:
        data.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


# ---- borderline and broken files: one rule each ----------------------------------------------------
# Each takes the file (a valid one around it) and adds its statement; "bad" rules are ones that regedit
# reads past or refuses, "good" ones it reads.

def m_header(f):
    h = f.rng.choice([UNICODE_HEADER, ANSI_HEADER])
    return {"header": f.rng.choice([h.lower(), h.upper(), h + " ", " " + h, "\t" + h, h + "x", "REGEDIT",
                                    "REGEDIT5", "\r\n" + h, "; c\r\n" + h])}


def m_comment_lines(f):
    f.lines.append(f.rng.choice([";", "#", "  ; x", "\t#[HKCU\\x]", "; \"v\"=\"x\""]))
    f.value("after comment", '"x"')


def m_continuation(f):
    rng = f.rng
    between = rng.choice(["", "   ", "; comment", "  ; comment", "#comment", "  # comment", "\\", "  \\",
                          ",05", "[%s\\k]" % R, '"v"="x"'])
    after = rng.choice(["", " ", " ;c", ";c", " x", "\\"])
    first = rng.choice(["01,02,", "01,02, ", "", "01,02", " "])
    f.value("cont", "hex:%s\\%s\r\n%s\r\n  03,04" % (first, after, between))


def m_eof_continuation(f):
    f.lines.append('"eof"=hex:01,02,%s\\' % f.rng.choice(["", " "]) + f.rng.choice(["", "\r\n", "\r\n; c", "\r\n\r\n"]))
    f.keys[f.current][1]["eof"] = "eof"
    return {"last": True}


def m_blanks(f):
    rng = f.rng
    f.value("blanks", rng.choice(['"x"  ', '"x"\t', "dword: 1 ", "hex: 01,02 ", "hex(2): 41,00 ", 'hex:01, 02',
                                  "hex:01 ,02", "hex:01\t,02", "dword :1", "hex :01", "hex (2):41,00"]))


def m_commas(f):
    f.value("commas", "hex:" + f.rng.choice(["01,02,", "01,02,,", ",01", "01,,02", "1,2", "001", "0102",
                                             "01,2", "ab,CD", "01 ;c", "01,02, ;c", "+1", "-0", "0x1", "-1",
                                             "0001,00ff", "0100", "01 02", "0x", "+", "01;c"]))


def m_prefix(f):
    f.value("prefix", f.rng.choice(["HEX:01", "Hex:01", "DWORD:1", "Dword:1", "qword:1", "hex(B):01",
                                    "dword:FFFFFFFF", "str:x", "x", "'x'", '"x" junk', '"x"y"', '"x" #c']))


def m_escapes(f):
    text = f.rng.choice(["a\\\\b", "q\\\"q", "n\\nr\\r", "x\\0y", "x\\ty", "x\\qy", "x\\", "\\\\\\\\", "end\\\\"])
    if f.rng.random() < 0.5:
        f.lines.append('"esc"="%s"' % text)
        f.keys[f.current][1]["esc"] = "esc"
    else:
        f.lines.append('"%s"="x"' % text)
        name = unescape(text)
        f.keys[f.current][1][name.lower()] = name


def m_dword(f):
    f.value("dw", "dword:" + f.rng.choice(["0", "ffffffff", "123456789", "000000001", "", "0x10", "-1", "12g",
                                           "1 2", "\t7", "abcDEF12"]))


def m_hex_type(f):
    f.value("ht", f.rng.choice(["hex():01", "hex( 2):41,00", "hex(2 ):41,00", "hex(123456789):01", "hex(0):",
                                "hex(ffffffff):01", "hex(100):02", "hex(2:41", "hex(-1):01", "hex(4):",
                                "hex(+2):41,00", "hex(-2):01", "hex(0x2):41,00", "hex(00000000002):41,00",
                                "hex(\t2):41,00", "hex(+):01"]))


def m_key_forms(f):
    rng = f.rng
    sub = rng.choice(["k2", "a\\\\b", "c\\", "d\\\\", "e ", "f]g"])
    form = rng.choice([R + "\\", "[" + R + "\\", " " + R + "\\", "HKEY_CURRENT_USER\\\\Software\\regdiff\\",
                       "HKEY_CURRENT_USER \\Software\\regdiff\\", "\\" + R + "\\", "HKCU\\Software\\regdiff\\"])
    end = rng.choice(["]", "]", "] junk", "] ;c", "]  ", "" if "]" not in sub else "]"])
    indent = rng.choice(["", "  ", "\t"])
    f.lines.append("%s[%s%s%s" % (indent, form, sub, end))
    canon = "\\".join(p for p in sub.split("\\") if p)
    f.keys.setdefault(canon.lower(), (canon, {}))
    f.current = canon.lower()
    f.value("in key", '"x"')


def m_delete_forms(f):
    rng = f.rng
    f.key("gone\\sub")
    f.value("v", '"x"')
    form, valid = rng.choice([("[-%s\\gone]", True), ("[-%s\\gone] junk", True), ("[-%s\\gone\\\\]", True),
                              ("  [-%s\\gone]", True), ("[ -%s\\gone]", False), ("[- %s\\gone]", False)])
    f.lines.append(form % R)
    for k in list(f.keys):
        if k == "gone" or k.startswith("gone\\"):
            del f.keys[k]
    f.current = None
    if not valid or rng.random() < 0.4:  # a value right after the deletion: regedit has no key to put it in
        f.lines.append('"orphan"="x"')
        f.keys.setdefault("gone", ("gone", {}))[1]["orphan"] = "orphan"
    f.key("k")


def m_delete_value_forms(f):
    f.value("dv", '"x"')
    # Forms that regedit skips ("dv"=-x) leave the value in place, which the names cannot show: only
    # the forms it reads.
    form = f.rng.choice(['"dv"=-', '"dv" = -', '"dv"=- ;c', '"dv"=-\t', '"dv"= - '])
    f.lines.append(form)
    f.keys[f.current][1].pop("dv", None)
    f.value("after", '"y"')


def m_value_before_key(f):
    return {"first": '"early"="x"', "early": True}


def m_junk_line(f):
    bom = "\ufeff" if f.encoding == "utf16" else "\u00ef\u00bb\u00bf"  # a byte order mark inside the file
    f.lines.append(f.rng.choice(['junk "junked"="x"', 'junked="x"', bom + '"junked"="x"', '=["junked"]',
                                 '-"junked"="x"']))
    f.keys[f.current][1]["junked"] = "junked"


def m_nul(f):
    f.lines.append('"nul"="a\0b"')
    f.keys[f.current][1]["nul"] = "nul"


def m_unterminated(f):
    f.lines.append(f.rng.choice(['"un"="abc', '"un=1', '"un"="abc\\"', '"un"']))
    f.keys[f.current][1]["un"] = "un"


MUTATION_KEYS = {"k2", "a\\b", "a", "c", "d", "e ", "f]g"}
MUTATIONS = [m_header, m_comment_lines, m_continuation, m_eof_continuation, m_blanks, m_commas, m_prefix,
             m_escapes, m_dword, m_hex_type, m_key_forms, m_delete_forms, m_delete_value_forms,
             m_value_before_key, m_junk_line, m_nul, m_unterminated]


def make(rng, n, mutation=None):
    encodings = ["utf16", "utf16", "cp1252", "ascii"] + (["utf8"] if OURS_CMD else [])
    encoding = rng.choice(encodings)
    f = File(rng, "cp1252" if encoding == "utf8" else encoding)
    f.fill(rng.choice([1, 3, 8, 20]))
    extra = {}
    if mutation:
        if mutation not in (m_header, m_value_before_key):
            f.key("mut")
        extra = mutation(f) or {}
        f.protected |= {k for k in f.keys if k == "mut" or k.startswith("gone") or k in MUTATION_KEYS}
        if not extra.get("last"):
            f.fill(rng.choice([0, 1, 3]))
    lines = list(f.lines)
    if extra.get("first"):
        lines.insert(0, extra["first"])
        f.keys.setdefault("early", ("early", {}))[1]["early"] = "early"  # no key holds it
    eol = rng.choice(["\r\n"] * 8 + ["\n", "\r"]) if not mutation else "\r\n"
    if encoding == "utf8":
        f.encoding = "utf16"  # any text; written as UTF-8 below
        text = eol.join([rng.choice([ANSI_HEADER, UNICODE_HEADER]), ""] + lines) + eol
        data = text.encode("utf-8", "surrogatepass")
    else:
        data = f.encode(lines, extra.get("header"), eol)
        if mutation is m_header and f.encoding != "utf16" and rng.random() < 0.3:
            data = b"\xef\xbb\xbf" + data  # a UTF-8 byte order mark
    label = (mutation.__name__[2:] if mutation else "valid") + "-" + encoding
    case = {"id": "imp-%s-%d" % (label.replace("_", ""), n), "files": {"t.reg": data}, "cmd": ["import", "t.reg"],
            "names": f.names()}
    if encoding == "utf8" and any(b >= 0x80 for b in data):
        case["cmd_ours"] = ["import", "t.reg", "/cp", "1252"]
    # Wine's reg import prints nothing on success (Windows' prints that it succeeded) and prints warnings
    # of its own, such as for an escape it does not know: only the status and the tree are compared.
    case["output"] = False
    return case


def generate(rng, count):
    cases = []
    for n in range(count):
        mutation = None if rng.random() < 0.4 else rng.choice(MUTATIONS)
        cases.append(make(rng, n, mutation))
    return cases
