// The platform part of regdiff_runner: a scratch registry for each case, and running a program with its
// output captured.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Output {
  int status = -1;
  std::string out, err;
};

// A fresh store for case index (Linux), or "" where the cases share the real registry (Windows).
std::string ScratchStore(std::size_t index);
void DropScratchStore(const std::string& path);
// Runs program with args and waits; a scratch store is handed to it as $CREGISTRY_STORE.
Output RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& scratch);
