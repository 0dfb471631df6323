// A tagged value: a value that carries its own kind, copied whole when stored or returned.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace cregistry {

// A one-dimensional byte array with its index bounds (lower to lower + size - 1).
struct ByteArray {
  std::vector<std::uint8_t> bytes;
  std::int32_t lower = 0;

  // The upper bound, lower + size - 1, computed in 64 bits: defined for every lower bound and size
  // (lower - 1 for an empty array).
  std::int64_t upper() const { return std::int64_t{lower} + static_cast<std::int64_t>(bytes.size()) - 1; }
  bool operator==(const ByteArray&) const = default;
};

class Variant {
 public:
  enum class Kind { Empty, Integer, Long, Double, Boolean, String, ByteArray };

  Variant() = default;
  Variant(std::int16_t v) : value_(v) {}
  Variant(std::int32_t v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(bool v) : value_(v) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(const char* v) : value_(std::string(v)) {}
  Variant(std::vector<std::uint8_t> bytes, std::int32_t lowerBound = 0)
      : value_(ByteArray{std::move(bytes), lowerBound}) {}
  Variant(ByteArray array) : value_(std::move(array)) {}

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool IsEmpty() const { return kind() == Kind::Empty; }

  // Typed access; a value of another kind raises error 13 (type mismatch).
  std::int16_t AsInteger() const;
  std::int32_t AsLong() const;
  double AsDouble() const;
  bool AsBoolean() const;
  const std::string& AsString() const;
  const ByteArray& AsByteArray() const;

  // The value as text: integers in decimal, floating point in its shortest exact form, booleans as
  // "True"/"False", empty as "". A byte array has no text form: error 13.
  std::string ToText() const;

  bool operator==(const Variant&) const = default;

 private:
  std::variant<std::monostate, std::int16_t, std::int32_t, double, bool, std::string, ByteArray> value_;
};

}  // namespace cregistry
