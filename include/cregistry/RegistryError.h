// The one error that the registry accessor raises: a number, a source and a description.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace cregistry {

class RegistryError : public std::runtime_error {
 public:
  RegistryError(std::int32_t number, std::string source, std::string description);

  std::int32_t number() const noexcept { return number_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& description() const noexcept { return description_; }

  // The source that cRegistry's own errors carry: the running executable's name without its
  // extension, followed by ".cRegistry".
  static std::string AccessorSource();
  // The running executable's file name without its folder and extension ("setup" for C:\x\setup.exe).
  static const std::string& ExecutableName();

  // Errors of the value conversions, which reach callers with their own numbers.
  static RegistryError SubscriptOutOfRange();  // 9
  static RegistryError TypeMismatch();         // 13

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
};

// Error numbers of the accessor.
inline constexpr std::int32_t kErrSubscriptOutOfRange = 9;
inline constexpr std::int32_t kErrTypeMismatch = 13;
inline constexpr std::int32_t kErrRegistry = 26001;
inline constexpr std::int32_t kErrSetValue = static_cast<std::int32_t>(0x800469A9u);
inline constexpr std::int32_t kErrEnumerateSections = static_cast<std::int32_t>(0x800469AAu);
inline constexpr std::int32_t kErrAssociationItems = static_cast<std::int32_t>(0x800469ACu);
inline constexpr std::int32_t kErrAssociationClass = static_cast<std::int32_t>(0x800469ADu);

}  // namespace cregistry
