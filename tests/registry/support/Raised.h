// The RegistryError that an action raises; a test failure when it raises none.
#pragma once

#include <gtest/gtest.h>

#include <cregistry/RegistryError.h>

namespace cregistry::testing {

template <typename F>
RegistryError Raised(F&& action) {
  try {
    action();
  } catch (const RegistryError& e) {
    return e;
  }
  ADD_FAILURE() << "no RegistryError raised";
  return RegistryError(0, "", "");
}

}  // namespace cregistry::testing
