#include "comm/sysfs_ports.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

namespace odu {

namespace fs = std::filesystem;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first line of a sysfs attribute without surrounding blanks; empty when
// it can't be read. Attributes worth reading are a few characters long.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  char buffer[64] = {};
  in.read(buffer, sizeof buffer);
  std::string_view text(buffer, static_cast<size_t>(in.gcount()));
  text = text.substr(0, text.find('\n'));
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

bool IsListedPort(const fs::path& tty) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(tty / "device", ec))) return false;  // virtual terminals, pty, console
  if (ReadAttribute(tty / "type") == "0") return false;                    // no UART behind a legacy port
  if (ReadAttribute(tty / "console") == "Y") return false;                 // the kernel writes its log there
  return true;
}

// Digit runs compare by value, everything else by character; names equal in
// that order (ttyS01, ttyS1) fall back to plain order, so the order is total.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t a_end = i;
      size_t b_end = j;
      while (a_end < a.size() && IsDigit(a[a_end])) ++a_end;
      while (b_end < b.size() && IsDigit(b[b_end])) ++b_end;
      while (i + 1 < a_end && a[i] == '0') ++i;
      while (j + 1 < b_end && b[j] == '0') ++j;
      const std::string_view a_num(a.data() + i, a_end - i);
      const std::string_view b_num(b.data() + j, b_end - j);
      if (a_num.size() != b_num.size()) return a_num.size() < b_num.size();
      if (a_num != b_num) return a_num < b_num;
      i = a_end;
      j = b_end;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if ((i == a.size()) != (j == b.size())) return i == a.size();
  return a < b;
}

}  // namespace

std::vector<std::string> ListSysfsSerialPorts(const std::string& sysfs_root, const std::string& dev_root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(sysfs_root) / "class" / "tty", ec), end; !ec && it != end;
       it.increment(ec)) {
    if (IsListedPort(it->path())) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);

  std::vector<std::string> ports;
  ports.reserve(names.size());
  for (const std::string& name : names) ports.push_back((fs::path(dev_root) / name).string());
  return ports;
}

}  // namespace odu
