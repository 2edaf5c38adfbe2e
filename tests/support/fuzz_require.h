// The fuzz targets' check of an invariant: a broken one is reported with
// what broke and ends the run (the fuzzer keeps the input).
#pragma once

#include <cstdio>
#include <cstdlib>

namespace odu::testing {

// `subject` names the code under test ("frame assembly"), `what` the rule.
inline void RequireOf(const char* subject, bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s invariant broken: %s\n", subject, what);
  std::abort();
}

}  // namespace odu::testing
