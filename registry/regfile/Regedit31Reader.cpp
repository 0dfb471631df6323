// The lines of a REGEDIT file, Windows 3.1's format: "HKEY_CLASSES_ROOT\path = text", which sets the
// key's unnamed value. Read as Wine's regedit and reg import read them, rule by rule: each rule below
// was found by importing files that hold it with both, which agree.
#include "registry/regfile/RegFileReader.h"

#include "registry/Utf8.h"

#include <string_view>
#include <utility>

namespace cregistry::regfile {

namespace {

constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";

// The characters that end a key name: regedit's white space (iswspace), every character of the Basic
// Multilingual Plane tried in a key name under Wine.
bool IsWhiteSpace(char32_t cp) {
  switch (cp) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

}  // namespace

// A line that is not blank nor a comment: a Key record, and the Value record that Next hands out after
// it. regedit takes only a line that starts with the root's name (in this letter case, in the first
// column) and skips every other one: such a line is refused here.
Reader::Step Reader::ParseWin31Line(Record& record) {
  if (line_.compare(0, kClassesRoot.size(), kClassesRoot) != 0) {
    std::size_t i = 0;
    SkipBlanks(i);
    return Fail("expected \"HKEY_CLASSES_ROOT\\key = text\" from the first column (regedit skips any other "
                "line of a REGEDIT file)",
                i);
  }
  // The key name runs to the first white space, the line's end or a character that is not UTF-8 (none:
  // the line was decoded into UTF-8).
  std::size_t end = kClassesRoot.size();
  while (end < line_.size()) {
    char32_t cp = 0;
    const std::size_t length = utf8::Decode(line_, end, cp);
    if (length == 0 || IsWhiteSpace(cp)) break;
    end += length;
  }
  if (ParseKeyName(0, end, record) != Step::Record) return Step::Error;
  record.kind = Record::Kind::Key;
  // Then any spaces and tabs, at most one "=" and at most one space, and the text to the end of the
  // line as it stands. regedit ends the key name by writing over the character after it: when none of
  // these follows the name (it ends at another white space), the text is empty.
  std::size_t i = end;
  SkipBlanks(i);
  if (i < line_.size() && line_[i] == '=') ++i;
  if (i < line_.size() && line_[i] == ' ') ++i;
  Record value;
  value.kind = Record::Kind::Value;
  value.type = kRegSz;
  value.position = PositionAt(i);
  if (i > end) value.data.assign(line_, i);
  value.data += '\0';
  pendingRecord_ = std::move(value);
  return Step::Record;
}

}  // namespace cregistry::regfile
