// The fuzz targets' rule checks: a broken rule stops the run so that libFuzzer keeps the input.
#pragma once

#include <cstdio>

namespace npc::fuzz {

[[noreturn]] inline void broken(const char* rule) {
  std::fprintf(stderr, "broken: %s\n", rule);
  __builtin_trap();
}

inline void check(bool holds, const char* rule) {
  if (!holds) broken(rule);
}

}  // namespace npc::fuzz
