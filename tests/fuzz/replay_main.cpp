// Replays saved inputs through a fuzz target without libFuzzer, so that the
// seed corpus and every input that once made a target fail run as ordinary
// tests in the normal build. Arguments are files or directories (whose files
// are replayed in name order; names starting with '.' are passed by). A
// target reports a fault by aborting; this driver fails on its own only when
// an input cannot be read or there was nothing to replay.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so that AddressSanitizer catches a
  // read one past the end as the fuzzer would.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  std::printf("replay %s (%zu bytes)\n", file.string().c_str(), data.size());
  std::fflush(stdout);
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t replayed = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg = argv[i];
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(arg, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && !name.empty() && name[0] != '.') files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& f : files) {
        ok = Replay(f) && ok;
        ++replayed;
      }
    } else if (fs::exists(arg, ec)) {
      ok = Replay(arg) && ok;
      ++replayed;
    }
    // A directory that does not exist yet (no regression saved) is nothing to replay.
  }
  if (replayed == 0) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::printf("%zu inputs replayed\n", replayed);
  return ok ? 0 : 1;
}
