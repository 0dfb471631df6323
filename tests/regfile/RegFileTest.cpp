// The .reg reader and writer on text alone: Wine's own exports read and written back byte for byte,
// every encoding and line end, every statement, each kind of bad input with the place it is reported
// at, endless input, and seeded random round trips.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <streambuf>

#include "WineExports.h"
#include "registry/regfile/RegFileReader.h"
#include "registry/regfile/RegFileWriter.h"

namespace cregistry::regfile {
namespace {

std::string Utf16(std::string_view utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToUtf16Le(utf8, out));
  return "\xFF\xFE" + out;
}

struct ReadResult {
  std::vector<Record> records;
  std::optional<Error> error;
  Format format = Format::Unicode;
};

ReadResult ReadAll(const std::string& bytes, CodePage codePage = CodePage::Auto) {
  std::istringstream in(bytes);
  Reader reader(in, "t.reg", codePage);
  ReadResult result;
  Record record;
  Reader::Step step;
  while ((step = reader.Next(record)) == Reader::Step::Record) result.records.push_back(record);
  result.error = reader.error();
  EXPECT_EQ(step == Reader::Step::Error, result.error.has_value());
  EXPECT_EQ(reader.Next(record), step) << "the reader must keep answering the same after it stopped";
  result.format = reader.format();
  return result;
}

// Writes the records through the writer, in the format given.
std::string WriteAll(const std::vector<Record>& records, Format format) {
  std::ostringstream out;
  Writer writer(out, format);
  for (const auto& r : records) {
    std::string path = std::string(RootFullName(r.root)) + (r.keyPath.empty() ? "" : "\\" + r.keyPath);
    switch (r.kind) {
      case Record::Kind::Key: EXPECT_TRUE(writer.Key(path)); break;
      case Record::Kind::DeleteKey: EXPECT_TRUE(writer.DeleteKey(path)); break;
      case Record::Kind::Value: EXPECT_TRUE(writer.Value(r.name, r.type, r.data)); break;
      case Record::Kind::DeleteValue: EXPECT_TRUE(writer.DeleteValue(r.name)); break;
    }
  }
  EXPECT_TRUE(writer.Finish());
  return out.str();
}

TEST(RegFileWine, ReadsAndWritesWineExportsByteForByte) {
  for (const char* text : {regfile_test::kWineProbe, regfile_test::kWineWrapping}) {
    const std::string file = Utf16(text);
    ReadResult read = ReadAll(file);
    ASSERT_FALSE(read.error) << read.error->ToString();
    EXPECT_EQ(WriteAll(read.records, Format::Unicode), file);
  }
}

TEST(RegFileWine, DecodesEveryValueOfWinesExport) {
  ReadResult read = ReadAll(Utf16(regfile_test::kWineProbe));
  ASSERT_FALSE(read.error);
  ASSERT_EQ(read.records.size(), 18u);
  const Record& key = read.records[0];
  EXPECT_EQ(key.kind, Record::Kind::Key);
  EXPECT_EQ(key.root, static_cast<std::int32_t>(0x80000001u));
  EXPECT_EQ(key.keyPath, "Software\\Probe");
  const auto find = [&](std::string_view name) -> const Record& {
    for (const auto& r : read.records)
      if (r.kind == Record::Kind::Value && r.name == name) return r;
    ADD_FAILURE() << "no value " << name;
    return read.records[0];
  };
  EXPECT_EQ(find("").data, std::string("def\0", 4));
  EXPECT_EQ(find("back\\slash").data, std::string("x\0", 2));
  EXPECT_EQ(find("Na me").data, std::string("a\"b\\c\0", 6));
  EXPECT_EQ(find("Size").type, kRegDword);
  EXPECT_EQ(find("Size").data, std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(find("E").type, kRegExpandSz);
  EXPECT_EQ(find("E").data, std::string("%PATH%;x\0", 9));  // UTF-16LE in the file, UTF-8 here
  EXPECT_EQ(find("Multi").data, std::string("one\0two\0\0", 9));
  EXPECT_EQ(find("N").type, kRegNone);
  EXPECT_EQ(find("N").data, std::string("0\0" "1\0" "0\0" "2\0\0\0", 10));  // REG_NONE stays raw bytes
  EXPECT_EQ(find("Q").type, kRegQword);
  EXPECT_EQ(find("Bin").data.size(), 42u);
  EXPECT_EQ(find("B3").data, "");
  EXPECT_EQ(find("\xC3\x9Cmlaut").data, std::string("Gr\xC3\xBC\xC3\x9F" "e\0", 8));
}

TEST(RegFileEncoding, EveryEncodingAndLineEndGivesTheSameRecords) {
  const std::string lf =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"\xE2\x82\xAC\"\n"
      "\"h\"=hex(2):ac,20,00,00\n";
  const auto replaceAll = [](std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
    return s;
  };
  const std::string crlf = replaceAll(lf, "\n", "\r\n");
  const std::string cr = replaceAll(lf, "\n", "\r");
  // Hex string data is UTF-16LE in a UTF-16 file, and the code page's bytes in an 8-bit file (as
  // regedit reads it): there ac,20,00,00 is four characters.
  const std::string utf16Data("\xE2\x82\xAC\0", 4), ansiData("\xC2\xAC \0\0", 5);
  const std::vector<std::pair<std::string, std::string>> files{
      {lf, ansiData}, {crlf, ansiData}, {cr, ansiData}, {Utf16(crlf), utf16Data}, {Utf16(lf), utf16Data}};
  for (const auto& [file, hexData] : files) {
    ReadResult read = ReadAll(file);
    ASSERT_FALSE(read.error) << read.error->ToString();
    ASSERT_EQ(read.records.size(), 3u);
    EXPECT_EQ(read.records[1].data, std::string("\xE2\x82\xAC\0", 4));
    EXPECT_EQ(read.records[2].data, hexData);
    EXPECT_EQ(read.records[2].position.line, 5u);
  }
  // regedit refuses a file with a UTF-8 byte order mark.
  EXPECT_EQ(ReadAll("\xEF\xBB\xBF" + lf).error->position.line, 1u);
}

TEST(RegFileEncoding, Regedit4StringDataIsTheCodePage) {
  ReadResult read = ReadAll("REGEDIT4\r\n\r\n[HKCU\\A]\r\n\"h\"=hex(2):41,42,00\r\n\"m\"=hex(7):61,00,00\r\n");
  ASSERT_FALSE(read.error) << read.error->ToString();
  EXPECT_EQ(read.format, Format::Ansi);
  EXPECT_EQ(read.records[1].data, std::string("AB\0", 3));
  EXPECT_EQ(read.records[2].data, std::string("a\0\0", 3));
  // And the writer writes it back the same way.
  EXPECT_EQ(WriteAll(read.records, Format::Ansi),
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"h\"=hex(2):41,42,00\r\n\"m\"=hex(7):61,00,00\r\n\r\n");
  // An 8-bit file in each code page: text and hex string data alike.
  const std::string cp1252 = "REGEDIT4\n[HKCU\\A]\n\"\xE9\"=\"\x80\"\n\"h\"=hex(1):e9,80\n";
  const std::string utf8 = "REGEDIT4\n[HKCU\\A]\n\"\xC3\xA9\"=\"\xE2\x82\xAC\"\n\"h\"=hex(1):e9,80\n";
  const std::string overlong = "REGEDIT4\n[HKCU\\A]\n\"\xC0\xAF\"=\"x\"\n\"h\"=hex(1):e9,80\n";  // "/" in two bytes
  struct CodePageCase {
    const std::string* file;
    CodePage codePage;
    std::string name, text, hex;  // empty name: an error
  };
  const std::vector<CodePageCase> cases{
      {&cp1252, CodePage::Auto, "\xC3\xA9", std::string("\xE2\x82\xAC\0", 4), std::string("\xC3\xA9\xE2\x82\xAC\0", 6)},
      {&cp1252, CodePage::Windows1252, "\xC3\xA9", std::string("\xE2\x82\xAC\0", 4), std::string("\xC3\xA9\xE2\x82\xAC\0", 6)},
      {&cp1252, CodePage::Latin1, "\xC3\xA9", std::string("\xC2\x80\0", 3), std::string("\xC3\xA9\xC2\x80\0", 5)},
      {&cp1252, CodePage::Utf8, "", "", ""},
      {&overlong, CodePage::Utf8, "", "", ""},
      {&utf8, CodePage::Auto, "\xC3\xA9", std::string("\xE2\x82\xAC\0", 4), std::string("\xC3\xA9\xE2\x82\xAC\0", 6)},
      {&utf8, CodePage::Windows1252, "\xC3\x83\xC2\xA9", std::string("\xC3\xA2\xE2\x80\x9A\xC2\xAC\0", 8), std::string("\xC3\xA9\xE2\x82\xAC\0", 6)},
  };
  for (const auto& c : cases) {
    ReadResult r = ReadAll(*c.file, c.codePage);
    if (c.name.empty()) {
      ASSERT_TRUE(r.error);
      EXPECT_EQ(r.error->ToString(), "t.reg:3:2: invalid UTF-8");
      continue;
    }
    ASSERT_FALSE(r.error) << r.error->ToString();
    ASSERT_EQ(r.records.size(), 3u);
    EXPECT_EQ(r.records[1].name, c.name);
    EXPECT_EQ(r.records[1].data, c.text);
    EXPECT_EQ(r.records[2].data, c.hex);
  }
  EXPECT_EQ(CodePageFromName("Windows-1252"), CodePage::Windows1252);
  EXPECT_EQ(CodePageFromName("65001"), CodePage::Utf8);
  EXPECT_FALSE(CodePageFromName("437"));
}

TEST(RegFileSyntax, EveryStatement) {
  ReadResult read = ReadAll(
      "Windows Registry Editor Version 5.00\r\n"
      "; a comment\r\n"
      "\r\n"
      "  [-HKEY_LOCAL_MACHINE\\Gone\\]   ; trailing comment\r\n"
      "[hkcu\\Double\\\\Slash]   junk after the last bracket\r\n"
      "@=\"unnamed\"\r\n"
      "\"\"=\"also unnamed\"\r\n"
      "\"esc\"=\"\\n\\r\\q\"\r\n"
      "\"del\"=-\r\n"
      "\"d\" = dword: FFFFFFFF ; max\r\n"
      "\"h\"=hex:01,\\\r\n"
      "   02, 03,\\ ; comment after the continuation\r\n"
      "\r\n"  // blank and ";" lines may stand inside continued data, "#" lines may not
      "  ; comment\r\n"
      "# comment\r\n");
  ASSERT_TRUE(read.error);
  EXPECT_EQ(read.error->message, "a \"#\" line cannot stand inside continued hex data (only \";\" comments can)");
  EXPECT_EQ(read.error->position.line, 15u);
  ASSERT_EQ(read.records.size(), 7u);
  EXPECT_EQ(read.records[0].kind, Record::Kind::DeleteKey);
  EXPECT_EQ(read.records[0].root, static_cast<std::int32_t>(0x80000002u));
  EXPECT_EQ(read.records[0].keyPath, "Gone");
  EXPECT_EQ(read.records[0].position.line, 4u);
  EXPECT_EQ(read.records[0].position.column, 3u);
  EXPECT_EQ(read.records[1].keyPath, "Double\\Slash");
  EXPECT_EQ(read.records[2].name, "");
  EXPECT_EQ(read.records[3].name, "");
  EXPECT_EQ(read.records[4].data, std::string("\n\rq\0", 4));
  EXPECT_EQ(read.records[5].kind, Record::Kind::DeleteValue);
  EXPECT_EQ(read.records[6].data, std::string("\xFF\xFF\xFF\xFF", 4));
}

TEST(RegFileSyntax, ContinuedHexData) {
  ReadResult read = ReadAll("REGEDIT4\n[HKCU\\A]\n\"h\"=hex(3):01,\\\n  02,\\\n  03\n\"n\"=hex:\n");
  ASSERT_FALSE(read.error) << read.error->ToString();
  ASSERT_EQ(read.records.size(), 3u);
  EXPECT_EQ(read.records[1].type, kRegBinary);
  EXPECT_EQ(read.records[1].data, "\x01\x02\x03");
  EXPECT_EQ(read.records[2].data, "");
}

// Each form of a hex byte that regedit takes, beside the common two digits, and a line longer than the
// reader's copy block with characters beyond ASCII in it, in both encodings: the same bytes, and an
// error after the long text reported at its column and byte.
TEST(RegFileSyntax, HexByteFormsAndLongLinesInBothEncodings) {
  const std::vector<std::pair<std::string, std::string>> bytes{
      {"1f,f,0x1f,+1f,001f,0A,fF", "\x1f\x0f\x1f\x1f\x1f\x0a\xff"},
      {"00 ;a comment", std::string(1, '\0')},
      {"ab", "\xab"},
      {"0x0,+0,0", std::string(3, '\0')},
  };
  for (const auto& [hex, data] : bytes) {
    const std::string text = "REGEDIT4\r\n[HKCU\\A]\r\n\"h\"=hex:" + hex + "\r\n";
    for (const std::string& file : {text, Utf16(text)}) {
      ReadResult read = ReadAll(file);
      ASSERT_FALSE(read.error) << hex << ": " << read.error->ToString();
      ASSERT_EQ(read.records.size(), 2u) << hex;
      EXPECT_EQ(read.records[1].data, data) << hex;
    }
  }
  // 700 characters with a euro sign at 300 and at 520: the name crosses the 256-character block.
  std::string name(700, 'n');
  name.replace(520, 1, "\xE2\x82\xAC");
  name.replace(300, 1, "\xE2\x82\xAC");
  const std::string head = "REGEDIT4\r\n[HKCU\\A]\r\n";
  const std::string good = head + "\"" + name + "\"=\"" + name + "\"\r\n";
  const std::string bad = head + "\"" + name + "\"=hex:zz\r\n";
  for (bool utf16 : {false, true}) {
    ReadResult read = ReadAll(utf16 ? Utf16(good) : good);
    ASSERT_FALSE(read.error) << read.error->ToString();
    ASSERT_EQ(read.records.size(), 2u);
    EXPECT_EQ(read.records[1].name, name);
    EXPECT_EQ(read.records[1].data, name + '\0');
    read = ReadAll(utf16 ? Utf16(bad) : bad);
    ASSERT_TRUE(read.error);
    EXPECT_EQ(read.error->message, "expected a hex byte (one or two hex digits)");
    EXPECT_EQ(read.error->position.line, 3u);
    EXPECT_EQ(read.error->position.column, 700u + 8);  // the quotes, "=hex:", then the "z"
    const std::uint64_t before = utf16 ? 2 + 2 * head.size() + 2 * (700 + 7) : head.size() + name.size() + 7;
    EXPECT_EQ(read.error->position.byteOffset, before);
  }
}

TEST(RegFileSyntax, KeyNamesMayHoldBrackets) {
  ReadResult read = ReadAll("REGEDIT4\n[HKCU\\a]b]\n");
  ASSERT_FALSE(read.error) << read.error->ToString();
  EXPECT_EQ(read.records[0].keyPath, "a]b");
}

struct BadCase {
  const char* what;
  std::string body;  // after the header line "REGEDIT4\n" (none when header is false)
  std::string message;
  std::uint64_t line, column;
  bool header = true;
  CodePage codePage = CodePage::Auto;
};

TEST(RegFileErrors, EachBadInputIsReportedWhereItIs) {
  const std::string key = "[HKCU\\A]\n";
  const std::vector<BadCase> cases{
      {"no header", "[HKCU\\A]\n", "missing or unknown header: expected \"Windows Registry Editor Version 5.00\", \"REGEDIT4\" or \"REGEDIT\"", 1, 1, false},
      {"empty file", "", "the file is empty: expected the header \"Windows Registry Editor Version 5.00\", \"REGEDIT4\" or \"REGEDIT\"", 1, 1, false},
      {"unknown header", "REGEDIT5\n", "missing or unknown header: expected \"Windows Registry Editor Version 5.00\", \"REGEDIT4\" or \"REGEDIT\"", 1, 1, false},
      {"unknown root", "[HKEY_NOWHERE\\A]\n", "unknown root key \"HKEY_NOWHERE\"", 2, 2},
      {"root deleted", "[-HKCU]\n", "a root key cannot be deleted", 2, 3},
      {"no closing bracket", "[HKCU\\A\n", "expected \"]\" at the end of the key name", 2, 8},
      {"blank after the root", "[HKCU \\A]\n", "unknown root key \"HKCU \"", 2, 2},
      {"empty name after the root", "[HKCU\\\\A]\n", "an empty key name right after the root", 2, 7},
      {"long key name", "[HKCU\\ok\\" + std::string(256, 'k') + "]\n", "a key name has at most 255 characters", 2, 10},
      {"value before key", "\"a\"=\"b\"\n", "a value must follow a [key] line", 2, 1},
      {"value after key deletion", "[-HKCU\\A]\n@=\"b\"\n", "a value must follow a [key] line", 3, 1},
      {"long value name", key + "\"" + std::string(16384, 'n') + "\"=\"x\"\n", "a value name has at most 16383 characters", 3, 1},
      {"unterminated name", key + "\"abc=\"x\n", "expected \"=\" after the value name", 3, 7},
      {"unterminated string", key + "\"a\"=\"abc\n", "unterminated string: expected a closing quote", 3, 9},
      {"escaped last quote", key + "\"a\"=\"abc\\\"\n", "unterminated string: expected a closing quote", 3, 11},
      {"no equals", key + "\"a\" \"b\"\n", "expected \"=\" after the value name", 3, 5},
      {"no data", key + "\"a\"=\n", "expected the value's data after \"=\"", 3, 5},
      {"unknown data", key + "\"a\"=str:x\n", "unknown data: expected \"text\", -, dword:, hex: or hex(type): (in lower case)", 3, 5},
      {"byte over ff", key + "\"a\"=hex:01,-1\n", "a byte is at most ff", 3, 12},
      {"blank before comma", key + "\"a\"=hex:01 ,02\n", "a blank cannot stand before the comma", 3, 11},
      {"NUL escape", key + "\"a\"=\"x\\0\"\n", "\"\\0\" cannot stand in a quoted name or string (regedit refuses it)", 3, 7},
      {"upper-case prefix", key + "\"a\"=DWORD:1\n", "unknown data: expected \"text\", -, dword:, hex: or hex(type): (in lower case)", 3, 5},
      {"lower-case header", "regedit4\n", "missing or unknown header: expected \"Windows Registry Editor Version 5.00\", \"REGEDIT4\" or \"REGEDIT\"", 1, 1, false},
      {"hex without comma", key + "\"a\"=hex:01,0203\n", "expected a comma between hex bytes", 3, 14},
      {"hex with a blank for a comma", key + "\"a\"=hex:01,02 03\n", "expected a comma or the end of the hex data", 3, 15},
      {"not hex", key + "\"a\"=hex:zz\n", "expected a hex byte (one or two hex digits)", 3, 9},
      {"two trailing commas", key + "\"a\"=hex:01,,\n", "expected a hex byte (one or two hex digits)", 3, 12},
      {"bad type", key + "\"a\"=hex(123456789):00\n", "a type in hex(...) has at most 8 hex digits", 3, 9},
      {"unclosed type", key + "\"a\"=hex(2:00\n", "expected \")\" after the type", 3, 10},
      {"no colon", key + "\"a\"=hex 00\n", "expected \":\" after hex", 3, 8},
      {"long dword", key + "\"a\"=dword:123456789\n", "a dword has at most 8 hex digits", 3, 11},
      {"empty dword", key + "\"a\"=dword:\n", "expected 1 to 8 hex digits after dword:", 3, 11},
      {"text after dword", key + "\"a\"=dword:1x\n", "unexpected text at the end of the line", 3, 12},
      {"continuation line of a backslash", key + "\"a\"=hex:01,\\\n  \\\n02\n", "expected a hex byte at the start of the continued line", 4, 3},
      {"continuation without comma", key + "\"a\"=hex:01\\\n02\n", "expected a comma before the line continuation", 3, 11},
      {"stray line", key + "junk\n", "expected a [key] line, a value or a comment", 3, 1},
      {"NUL byte", key + std::string("\"a\"=\"b\0\"\n", 9), "NUL character in the file", 3, 7},
      {"invalid UTF-8", key + "\"a\"=\"\xC3(\"\n", "invalid UTF-8", 3, 6, true, CodePage::Utf8},
      {"cut inside UTF-8", key + "\"a\"=\"\xE2\x82", "the file ends in the middle of a UTF-8 character", 3, 6, true, CodePage::Utf8},
  };
  for (const auto& c : cases) {
    ReadResult read = ReadAll((c.header ? "REGEDIT4\n" : "") + c.body, c.codePage);
    ASSERT_TRUE(read.error) << c.what;
    EXPECT_EQ(read.error->message, c.message) << c.what;
    EXPECT_EQ(read.error->position.line, c.line) << c.what;
    EXPECT_EQ(read.error->position.column, c.column) << c.what;
    EXPECT_EQ(read.error->path, "t.reg");
  }
}

// Windows 3.1's REGEDIT files: what the regdiff harness cannot see, the records and their places, the
// code page's white space, and the error and place of each line that regedit skips.
TEST(RegFileWin31, EachLineIsAKeyAndItsUnnamedValue) {
  const std::string lines =
      " REGEDIT\r\n"
      "HKEY_CLASSES_ROOT\\.txt = txtfile\r\n"
      "\r\n"
      "; comment\r\n"
      "HKEY_CLASSES_ROOT\\a\\\\b\\ \t =  two \"words\" \\n \r\n"  // any blanks, one "=", one space
      "HKEY_CLASSES_ROOT\\k=v spaced\r\n"                        // the name runs to the white space
      "HKEY_CLASSES_ROOT\\vt\x0bthe text\r\n"                    // another white space: no text
      "HKEY_CLASSES_ROOT\t\tx\r\n"                               // the root's own value
      "HKEY_CLASSES_ROOT\\end";
  ReadResult read = ReadAll(lines);
  ASSERT_FALSE(read.error) << read.error->ToString();
  EXPECT_EQ(read.format, Format::Win31);
  const std::vector<std::pair<std::string, std::string>> want{
      {".txt", "txtfile"}, {"a\\b", " two \"words\" \\n "}, {"k=v", "spaced"}, {"vt", ""}, {"", "x"}, {"end", ""}};
  ASSERT_EQ(read.records.size(), 2 * want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    const Record& key = read.records[2 * k];
    const Record& value = read.records[2 * k + 1];
    EXPECT_EQ(key.kind, Record::Kind::Key);
    EXPECT_EQ(key.root, static_cast<std::int32_t>(0x80000000u));
    EXPECT_EQ(key.keyPath, want[k].first);
    EXPECT_EQ(key.position.column, 1u);
    EXPECT_EQ(value.kind, Record::Kind::Value);
    EXPECT_EQ(value.name, "");
    EXPECT_EQ(value.type, kRegSz);
    EXPECT_EQ(value.data, want[k].second + '\0') << k;
    EXPECT_EQ(value.position.line, key.position.line);
  }
  EXPECT_EQ(read.records[2].position.line, 5u);
  EXPECT_EQ(read.records[3].position.column, 29u);  // where the text starts
}

TEST(RegFileWin31, UnicodeAndCodePageWhiteSpaceEndsTheName) {
  // U+3000 in UTF-16; byte 85 is U+0085 (white space) in Latin-1 and U+2026 in Windows-1252.
  ReadResult read = ReadAll(Utf16("REGEDIT\r\nHKEY_CLASSES_ROOT\\\xE6\x97\xA5\xE3\x80\x80 x\r\n"));
  ASSERT_FALSE(read.error) << read.error->ToString();
  EXPECT_EQ(read.records[0].keyPath, "\xE6\x97\xA5");
  EXPECT_EQ(read.records[1].data, std::string("\0", 1));
  const std::string ansi = "REGEDIT\r\nHKEY_CLASSES_ROOT\\a\x85" "b = x\r\n";
  read = ReadAll(ansi, CodePage::Latin1);
  ASSERT_FALSE(read.error) << read.error->ToString();
  EXPECT_EQ(read.records[0].keyPath, "a");
  read = ReadAll(ansi, CodePage::Windows1252);
  ASSERT_FALSE(read.error) << read.error->ToString();
  EXPECT_EQ(read.records[0].keyPath, "a\xE2\x80\xA6" "b");
  EXPECT_EQ(read.records[1].data, std::string("x\0", 2));
}

TEST(RegFileWin31, EachLineThatRegeditSkipsIsRefusedWhereItIs) {
  const std::string skipped =
      "expected \"HKEY_CLASSES_ROOT\\key = text\" from the first column (regedit skips any other line of a "
      "REGEDIT file)";
  const std::vector<BadCase> cases{
      {"blanks before the root", "  HKEY_CLASSES_ROOT\\a = x\n", skipped, 3, 3},
      {"root in lower case", "hkey_classes_root\\a = x\n", skipped, 3, 1},
      {"short root", "HKCR\\a = x\n", skipped, 3, 1},
      {"another root", "HKEY_CURRENT_USER\\a = x\n", skipped, 3, 1},
      {"a [key] line", "[HKEY_CLASSES_ROOT\\a]\n", skipped, 3, 1},
      {"a value line", "\"a\"=\"x\"\n", skipped, 3, 1},
      {"a longer root name", "HKEY_CLASSES_ROOTX\\a = x\n", "unknown root key \"HKEY_CLASSES_ROOTX\"", 3, 1},
      {"empty name after the root", "HKEY_CLASSES_ROOT\\\\a = x\n", "an empty key name right after the root", 3, 19},
      {"long key name", "HKEY_CLASSES_ROOT\\" + std::string(256, 'k') + "\n", "a key name has at most 255 characters", 3, 19},
  };
  for (const auto& c : cases) {
    ReadResult read = ReadAll("REGEDIT\nHKEY_CLASSES_ROOT\\ok = 1\n" + c.body);
    ASSERT_TRUE(read.error) << c.what;
    EXPECT_EQ(read.error->message, c.message) << c.what;
    EXPECT_EQ(read.error->position.line, c.line) << c.what;
    EXPECT_EQ(read.error->position.column, c.column) << c.what;
    EXPECT_EQ(read.records.size(), 2u) << c.what;  // the line before, as it stands
  }
  // "REGEDIT" is the header only alone on its line.
  for (const char* header : {"REGEDIT \n", "regedit\n", "REGEDIT3\n", "\nREGEDIT\n"})
    EXPECT_EQ(ReadAll(std::string(header) + "HKEY_CLASSES_ROOT\\a = x\n").error->position.line, 1u) << header;
}

TEST(RegFileErrors, MessageAndByteOffsetsInUtf16) {
  // Line 3 column 14 of a UTF-16 file; the BOM and each character before count.
  ReadResult read = ReadAll(Utf16("REGEDIT4\r\n[HKCU\\\xE2\x82\xAC]\r\n\"a\"=hex:01,0203\r\n"));
  ASSERT_TRUE(read.error);
  EXPECT_EQ(read.error->ToString(), "t.reg:3:14: expected a comma between hex bytes");
  EXPECT_EQ(read.error->position.byteOffset, 2u + 2 * (10 + 10) + 2 * 13);
  // The same text in UTF-8: bytes, with the euro sign's three.
  read = ReadAll("REGEDIT4\r\n[HKCU\\\xE2\x82\xAC]\r\n\"a\"=hex:01,0203\r\n");
  ASSERT_TRUE(read.error);
  EXPECT_EQ(read.error->position.byteOffset, 10u + 12 + 13);
}

TEST(RegFileErrors, BrokenUtf16) {
  std::string file = Utf16("REGEDIT4\r\n[HKCU\\A]\r\n");
  EXPECT_EQ(ReadAll(file + "x").error->message, "the file ends in the middle of a UTF-16 character");
  EXPECT_EQ(ReadAll(file + std::string("\x00\xDC", 2)).error->message,
            "invalid UTF-16: a low surrogate without a high one");
  EXPECT_EQ(ReadAll(file + std::string("\x00\xD8\x41\x00", 4)).error->message,
            "invalid UTF-16: a high surrogate without a low one");
  EXPECT_EQ(ReadAll(std::string("\xFE\xFF\x00R", 4)).error->message, "UTF-16 big-endian files are not supported");
  // String data of a 5.00 file must be UTF-16LE.
  ReadResult odd = ReadAll(Utf16("Windows Registry Editor Version 5.00\n[HKCU\\A]\n\"s\"=hex(1):41,00,42\n"));
  ASSERT_TRUE(odd.error);
  EXPECT_EQ(odd.error->position.column, 12u);
}

// An endless stream of one character: the reader must stop at its line limit.
class Endless : public std::streambuf {
 public:
  explicit Endless(std::string start) : start_(std::move(start)), chunk_(1 << 16, 'x') {
    setg(start_.data(), start_.data(), start_.data() + start_.size());
  }
  std::size_t served = 0;

 protected:
  int_type underflow() override {
    served += chunk_.size();
    setg(chunk_.data(), chunk_.data(), chunk_.data() + chunk_.size());
    return traits_type::to_int_type(chunk_[0]);
  }

 private:
  std::string start_;
  std::string chunk_;
};

TEST(RegFileErrors, EndlessLineStopsAtTheLimit) {
  Endless source("REGEDIT4\n[HKCU\\A]\n\"a\"=\"");
  std::istream in(&source);
  Reader reader(in, "endless");
  Record record;
  ASSERT_EQ(reader.Next(record), Reader::Step::Record);
  ASSERT_EQ(reader.Next(record), Reader::Step::Error);
  EXPECT_EQ(reader.error()->message, "line longer than 16 MiB");
  EXPECT_EQ(reader.error()->position.line, 3u);
  EXPECT_LT(source.served, 2 * Reader::kMaxLineBytes);
}

TEST(RegFileErrors, EndlessHexDataStopsAtTheLimit) {
  // Short lines, continued forever: the value's data limit ends it.
  class Continued : public std::streambuf {
   public:
    Continued() : text_("REGEDIT4\n[HKCU\\A]\n\"a\"=hex:00,\\\n") {
      for (int i = 0; i < 1000; ++i) line_ += "00,";
      line_ += "\\\n";
      setg(text_.data(), text_.data(), text_.data() + text_.size());
    }

   protected:
    int_type underflow() override {
      setg(line_.data(), line_.data(), line_.data() + line_.size());
      return traits_type::to_int_type(line_[0]);
    }

   private:
    std::string text_, line_;
  } source;
  std::istream in(&source);
  Reader reader(in, "endless");
  Record record;
  ASSERT_EQ(reader.Next(record), Reader::Step::Record);
  ASSERT_EQ(reader.Next(record), Reader::Step::Error);
  EXPECT_EQ(reader.error()->message, "value data larger than 16 MiB");
}

// REG_SZ as regedit writes it, a quoted string up to the first NUL; other data that no type prefix
// fits (a short REG_DWORD) as hex.
TEST(RegFileWriter, StringsUpToTheirFirstNulAndOddDataAsHex) {
  std::ostringstream out;
  Writer writer(out, Format::Ansi);
  ASSERT_TRUE(writer.Key("HKEY_CURRENT_USER\\A"));
  ASSERT_TRUE(writer.Value("inner", kRegSz, std::string("a\0b\0", 4)));
  ASSERT_TRUE(writer.Value("unterminated", kRegSz, "ab"));
  ASSERT_TRUE(writer.Value("empty", kRegSz, ""));
  ASSERT_TRUE(writer.Value("short dword", kRegDword, "\x01\x02"));
  ASSERT_TRUE(writer.Value("q\"uote\\", kRegSz, std::string("l1\r\nl2\0", 7)));
  EXPECT_FALSE(writer.Value("bad", kRegSz, "\xFF\0")) << "text that is not UTF-8 cannot be written";
  EXPECT_FALSE(writer.Key("HKEY_CURRENT_USER\\\xC3"));
  ASSERT_TRUE(writer.Finish());
  EXPECT_EQ(out.str(),
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n"
            "\"inner\"=\"a\"\r\n"
            "\"unterminated\"=\"ab\"\r\n"
            "\"empty\"=\"\"\r\n"
            "\"short dword\"=hex(4):01,02\r\n"
            "\"q\\\"uote\\\\\"=\"l1\\r\\nl2\"\r\n"
            "\r\n");
}

// Hex data wraps where regedit wraps it, counting the name in UTF-16 units (as recorded from Wine's
// regedit /E: ten "é" and four U+1F600 before 40 bytes of REG_BINARY).
TEST(RegFileWriter, HexLinesWrapAtRegeditsColumnWhateverTheName) {
  std::string data;
  for (int i = 0; i < 40; ++i) data += static_cast<char>(i);
  std::string e10, smiles;
  for (int i = 0; i < 10; ++i) e10 += "\xC3\xA9";
  for (int i = 0; i < 4; ++i) smiles += "\xF0\x9F\x98\x80";
  std::ostringstream out;
  Writer writer(out, Format::Unicode);
  ASSERT_TRUE(writer.Key("HKEY_CURRENT_USER\\Software\\wrapt"));
  ASSERT_TRUE(writer.Value(e10, kRegBinary, data));
  ASSERT_TRUE(writer.Value(smiles, kRegBinary, data));
  ASSERT_TRUE(writer.Finish());
  EXPECT_EQ(out.str(),
            Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\wrapt]\r\n\"" + e10 +
                             "\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\r\n"
                             "  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\r\n\"" + smiles +
                             "\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\r\n"
                             "  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\r\n\r\n"));
}

TEST(RegFileWriter, AStreamThatFailsIsReported) {
  std::ostringstream out;
  Writer writer(out, Format::Unicode);
  out.setstate(std::ios::badbit);
  EXPECT_TRUE(writer.Key("HKEY_CURRENT_USER\\A"));
  EXPECT_FALSE(writer.Finish());
}

// Seeded random records: what the writer writes, the reader reads back the same.
TEST(RegFileRoundTrip, RandomRecords) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> pieces{"a", "B", " ", "\"", "\\", "]", "[", ";", "=", "\xC3\xA9",
                                          "\xE2\x82\xAC", "\xF0\x9F\x99\x82", "\n", "\r", "x"};
    const auto text = [&](int max) {
      std::string s;
      for (int n = pick(max); n > 0; --n) s += pieces[static_cast<std::size_t>(pick(static_cast<int>(pieces.size())))];
      return s;
    };
    std::vector<Record> records;
    for (int k = 0; k < 40; ++k) {
      Record r;
      int what = pick(10);
      if (k == 0 || what == 0) {
        r.kind = pick(5) == 0 && k != 0 ? Record::Kind::DeleteKey : Record::Kind::Key;
        r.root = static_cast<std::int32_t>(0x80000000u + static_cast<unsigned>(pick(4)));
        std::string path = "k" + std::to_string(k);
        for (int d = pick(3); d > 0; --d) {
          std::string part = text(6);
          for (char& c : part)
            if (c == '\\' || c == '\n' || c == '\r' || c == ']') c = '_';
          path += "\\" + (part.empty() ? "p" : part);
        }
        r.keyPath = path;
        if (r.kind == Record::Kind::DeleteKey) {
          records.push_back(r);
          r.kind = Record::Kind::Key;
        }
      } else if (what == 1) {
        r.kind = Record::Kind::DeleteValue;
        r.name = text(5);
      } else {
        r.kind = Record::Kind::Value;
        r.name = text(5);
        switch (pick(6)) {
          case 0: r.type = kRegSz; r.data = text(8) + '\0'; break;
          case 1: r.type = kRegExpandSz; r.data = text(60) + '\0'; break;
          case 2: r.type = kRegMultiSz; r.data = text(4) + '\0' + text(4) + '\0' + '\0'; break;
          case 3: r.type = kRegDword; for (int b = 0; b < 4; ++b) r.data += static_cast<char>(pick(256)); break;
          default:
            r.type = static_cast<std::uint32_t>(pick(3) == 0 ? pick(0x7FFFFFFF) : kRegBinary);
            if (r.type == kRegSz || r.type == kRegExpandSz || r.type == kRegMultiSz) r.type = kRegBinary;
            for (int b = pick(300); b > 0; --b) r.data += static_cast<char>(pick(256));
        }
      }
      records.push_back(r);
    }
    for (Format format : {Format::Unicode, Format::Ansi}) {
      ReadResult read = ReadAll(WriteAll(records, format));
      ASSERT_FALSE(read.error) << "seed " << seed << ": " << read.error->ToString();
      ASSERT_EQ(read.records.size(), records.size()) << "seed " << seed;
      for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(read.records[i].kind, records[i].kind) << "seed " << seed << " record " << i;
        EXPECT_EQ(read.records[i].root, records[i].root) << "seed " << seed << " record " << i;
        EXPECT_EQ(read.records[i].keyPath, records[i].keyPath) << "seed " << seed << " record " << i;
        EXPECT_EQ(read.records[i].name, records[i].name) << "seed " << seed << " record " << i;
        EXPECT_EQ(read.records[i].type, records[i].type) << "seed " << seed << " record " << i;
        EXPECT_EQ(read.records[i].data, records[i].data) << "seed " << seed << " record " << i;
      }
    }
  }
}

TEST(RegFileText, RootNames) {
  EXPECT_EQ(RootFromName("hkey_local_machine"), static_cast<std::int32_t>(0x80000002u));
  EXPECT_EQ(RootFromName("HkU"), static_cast<std::int32_t>(0x80000003u));
  EXPECT_EQ(RootFromName("HKCC"), static_cast<std::int32_t>(0x80000005u));
  EXPECT_FALSE(RootFromName("HKEY_CURRENT_USERS"));
  EXPECT_FALSE(RootFromName(""));
  EXPECT_EQ(RootFullName(static_cast<std::int32_t>(0x80000000u)), "HKEY_CLASSES_ROOT");
}

}  // namespace
}  // namespace cregistry::regfile
