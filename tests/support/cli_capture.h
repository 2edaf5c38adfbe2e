// Runs odu-upgrade in process and collects what it printed on each stream.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli.h"

namespace odu::testing {

struct CliOutcome {
  int status = -1;
  std::string out, err;
};

// RunCli with `env`, its standard output and error going to files that are
// read back whole.
inline CliOutcome CaptureCli(const std::vector<std::string>& args, CliEnvironment env) {
  const auto slurp = [](std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
    return s;
  };
  env.out = std::tmpfile();
  env.err = std::tmpfile();
  CliOutcome r;
  r.status = RunCli(args, env);
  r.out = slurp(env.out);
  r.err = slurp(env.err);
  return r;
}

}  // namespace odu::testing
