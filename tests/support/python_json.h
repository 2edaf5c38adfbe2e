// JSON lines read back by Python's json module (Linux), as the scripts that
// read odu-upgrade --json would read them.
#pragma once

#include <string>
#include <vector>

namespace odu::testing {

struct JsonMember {
  char kind;  // 's' string, 'n' number, 'b' true or false, '0' null, 'x' anything else
  std::string key;
  std::string value;  // a string's UTF-8, otherwise the value as Python writes it
};

}  // namespace odu::testing

#ifdef _WIN32
namespace odu::testing {
// Under wine there is no python3: nothing is read back.
inline constexpr bool kPythonReadsJson = false;
inline std::vector<std::vector<JsonMember>> ReadByPython(const std::string&, std::string&) { return {}; }
}  // namespace odu::testing
#else
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace odu::testing {

inline constexpr bool kPythonReadsJson = true;

// Each line of `lines` (each ending in a newline) as json.loads reads it,
// its members in order. `error` gets what Python said when a line is not a
// JSON object, is not UTF-8 or has a member twice.
inline std::vector<std::vector<JsonMember>> ReadByPython(const std::string& lines, std::string& error) {
  static constexpr const char* kScript = R"(
import json, sys
def members(pairs):
    if len(dict(pairs)) != len(pairs): raise ValueError("a member twice")
    return dict(pairs)
def kind(v):
    return "s" if isinstance(v, str) else "b" if isinstance(v, bool) else "0" if v is None else \
        "n" if isinstance(v, (int, float)) else "x"
text = open(sys.argv[1], "rb").read().decode("utf-8")
if text and not text.endswith("\n"): raise ValueError("no newline at the end")
for line in text.split("\n")[:-1]:
    o = json.loads(line, object_pairs_hook=members)
    if not isinstance(o, dict): raise ValueError("not an object: " + line)
    print(" ".join(kind(v) + k.encode().hex() + ":" + (v if isinstance(v, str) else json.dumps(v)).encode().hex()
                   for k, v in o.items()))
)";
  static std::atomic<int> serial{0};
  const auto base = std::filesystem::temp_directory_path() /
                    ("odu_json_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
  const std::string in = base.string() + ".jsonl", err = base.string() + ".err";
  std::ofstream(in, std::ios::binary) << lines;
  std::string out;
  {
    ChildProcess python({"/usr/bin/python3", "-c", kScript, in}, {}, true, err);
    out = python.ReadToEnd();
    if (python.Wait() != 0) {
      std::ifstream said(err);
      error = "python3: " + std::string(std::istreambuf_iterator<char>(said), std::istreambuf_iterator<char>());
    }
  }
  std::filesystem::remove(in);
  std::filesystem::remove(err);
  const auto unhex = [](const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
  };
  std::vector<std::vector<JsonMember>> objects;
  std::istringstream read(out);
  for (std::string line; std::getline(read, line);) {
    std::istringstream fields(line);
    auto& members = objects.emplace_back();
    for (std::string field; fields >> field;) {
      const size_t colon = field.find(':');
      members.push_back({field[0], unhex(field.substr(1, colon - 1)), unhex(field.substr(colon + 1))});
    }
  }
  return objects;
}

}  // namespace odu::testing
#endif
