#include <cregistry/Variant.h>

#include <charconv>

#include <cregistry/RegistryError.h>

namespace cregistry {

namespace {
template <typename T, typename V>
const T& Get(const V& value) {
  if (const T* p = std::get_if<T>(&value)) return *p;
  throw RegistryError::TypeMismatch();
}
}  // namespace

std::int16_t Variant::AsInteger() const { return Get<std::int16_t>(value_); }
std::int32_t Variant::AsLong() const { return Get<std::int32_t>(value_); }
double Variant::AsDouble() const { return Get<double>(value_); }
bool Variant::AsBoolean() const { return Get<bool>(value_); }
const std::string& Variant::AsString() const { return Get<std::string>(value_); }
const ByteArray& Variant::AsByteArray() const { return Get<ByteArray>(value_); }

std::string Variant::ToText() const {
  switch (kind()) {
    case Kind::Empty:
      return {};
    case Kind::Integer:
      return std::to_string(std::get<std::int16_t>(value_));
    case Kind::Long:
      return std::to_string(std::get<std::int32_t>(value_));
    case Kind::Double: {
      char buf[64];
      auto res = std::to_chars(buf, buf + sizeof buf, std::get<double>(value_));
      return std::string(buf, res.ptr);
    }
    case Kind::Boolean:
      return std::get<bool>(value_) ? "True" : "False";
    case Kind::String:
      return std::get<std::string>(value_);
    case Kind::ByteArray:
      break;
  }
  throw RegistryError::TypeMismatch();
}

}  // namespace cregistry
