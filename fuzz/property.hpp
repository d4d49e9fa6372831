// How a fuzz target reports a broken property: a message beside the input
// that libFuzzer saves, then an abort so the run stops on it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace pelm::fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::printf("property violated: %s\n", what);
  std::fflush(stdout);
  std::abort();
}

}  // namespace pelm::fuzz
