// Path joining of the install run.
#pragma once

#include <string>
#include <string_view>

#include "install/platform/Platform.h"

namespace install {

// Joins `path` and `part` with exactly one separator between them: a separator that already ends
// `path` or begins `part` serves as that one. An empty `path` gives the separator followed by `part`.
inline std::string Join(std::string_view path, std::string_view part) {
  constexpr char sep = platform::kSep;
  const bool pathEnds = !path.empty() && path.back() == sep;
  const bool partBegins = !part.empty() && part.front() == sep;
  std::string out;
  out.reserve(path.size() + part.size() + 1);
  out.append(path);
  if (pathEnds && partBegins) {
    part.remove_prefix(1);
  } else if (!pathEnds && !partBegins) {
    out.push_back(sep);
  }
  out.append(part);
  return out;
}

}  // namespace install
