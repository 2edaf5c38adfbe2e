#include "comm/sysfs_ports.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

namespace odu {

namespace fs = std::filesystem;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Short attributes (`type`, `console`, idVendor) and the USB strings, which
// a device may make up to 126 characters long.
constexpr size_t kShortAttribute = 64;
constexpr size_t kTextAttribute = 256;

// The first line of a sysfs attribute without surrounding blanks, at most
// `limit` bytes of it; empty when it can't be read. Control characters come
// from the device (a USB string may hold anything) and would act on the
// user's terminal: each reads as '?'.
std::string ReadAttribute(const fs::path& file, size_t limit = kShortAttribute) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string buffer(limit, '\0');
  in.read(buffer.data(), static_cast<std::streamsize>(limit));
  std::string_view text(buffer.data(), static_cast<size_t>(in.gcount()));
  text = text.substr(0, text.find('\n'));
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  std::string value(text.substr(first, last - first + 1));
  for (char& c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return value;
}

// The name of the driver bound to the device at `dir` (its `driver` link
// points into /sys/bus/*/drivers/); empty when none is bound.
std::string DriverOf(const fs::path& dir) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(dir / "driver", ec);
  return ec ? std::string() : target.filename().string();
}

// A node's identity without following a link at its own name: its
// directory resolved, then its name. Empty when the directory can't be.
fs::path NodeKey(const fs::path& path) {
  std::error_code ec;
  const fs::path normal = fs::absolute(path, ec).lexically_normal();
  if (ec || !normal.has_filename()) return {};
  const fs::path dir = fs::canonical(normal.parent_path(), ec);
  return ec ? fs::path() : dir / normal.filename();
}

// Whether the link `link` leads to `node` (a NodeKey), followed link by link
// as open() would, for a few hops at most.
bool LeadsTo(fs::path link, const fs::path& node) {
  for (int hop = 0; hop < 8; ++hop) {
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    if (ec) return false;
    if (target.is_relative()) target = link.parent_path() / target;
    link = NodeKey(target);
    if (link.empty()) return false;
    if (link == node) return true;
  }
  return false;
}

// The first link (in name order) of `dev_root`/serial/by-id that leads to
// `node`; empty when there is none.
std::string ByIdLinkTo(const fs::path& dev_root, const fs::path& node) {
  const fs::path key = NodeKey(node);
  if (key.empty()) return {};
  std::vector<fs::path> links;
  std::error_code ec;
  for (fs::directory_iterator it(dev_root / "serial" / "by-id", ec), end; !ec && it != end; it.increment(ec)) {
    links.push_back(it->path());
  }
  std::sort(links.begin(), links.end());
  for (const fs::path& link : links) {
    if (LeadsTo(link, key)) return link.string();
  }
  return {};
}

// The driver of the port's device and, when it hangs below a USB device,
// that device's identity and strings and its interface's driver. The USB
// device is the nearest directory with an idVendor on the way up from the
// port's device towards `sysfs_root` (a hub above it has one too); the
// interface is the directory just below it on that way. A tty of a USB
// serial converter sits on a port of the interface
// (.../1-2:1.0/ttyUSB0), one of an ACM modem on the interface itself
// (.../1-2:1.0).
// The latency timer of a USB serial converter's port (FTDI's and others'
// drivers keep it in milliseconds); 0 where there is none.
uint32_t LatencyTimerIn(const fs::path& device) {
  const std::string text = ReadAttribute(device / "latency_timer");
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  const int ms = std::stoi(text);
  return ms >= 1 && ms <= 255 ? static_cast<uint32_t>(ms) : 0;
}

void ReadDetails(const fs::path& tty, const fs::path& sysfs_root, SerialPortInfo& port) {
  std::error_code ec;
  const fs::path device = fs::canonical(tty / "device", ec);
  if (ec) return;
  port.driver = DriverOf(device);
  port.latency_timer_ms = LatencyTimerIn(device);
  const fs::path top = fs::canonical(sysfs_root, ec);
  fs::path below;
  for (fs::path dir = device; dir != top && dir.has_relative_path(); below = dir, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    if (!below.empty()) port.interface_driver = DriverOf(below);
    port.usb_id = ReadAttribute(dir / "idVendor") + ":" + ReadAttribute(dir / "idProduct");
    port.manufacturer = ReadAttribute(dir / "manufacturer", kTextAttribute);
    port.product = ReadAttribute(dir / "product", kTextAttribute);
    port.serial_number = ReadAttribute(dir / "serial", kTextAttribute);
    return;
  }
}

// Why the tty at `tty` with node `node` is left out; nothing when it is a
// port. Only ttys with a `device` link come here.
std::optional<LeftOutReason> ReasonToLeaveOut(const fs::path& tty, const fs::path& node) {
  if (ReadAttribute(tty / "type") == "0") return LeftOutReason::kNoUart;
  if (ReadAttribute(tty / "console") == "Y") return LeftOutReason::kConsole;
  std::error_code ec;
  const fs::file_status status = fs::status(node, ec);  // through links, as open() goes
  if (!fs::exists(status)) return LeftOutReason::kNoDeviceNode;
  if (!fs::is_character_file(status)) return LeftOutReason::kNotCharacterDevice;
  return std::nullopt;
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

PortListing ScanSysfsSerialPorts(const std::string& sysfs_root, const std::string& dev_root) {
  std::vector<std::string> names;
  const fs::path ttys = fs::path(sysfs_root) / "class" / "tty";
  std::error_code ec;
  for (fs::directory_iterator it(ttys, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code link_ec;
    if (fs::exists(fs::symlink_status(it->path() / "device", link_ec))) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);

  PortListing listing;
  for (const std::string& name : names) {
    const fs::path node = fs::path(dev_root) / name;
    if (const std::optional<LeftOutReason> reason = ReasonToLeaveOut(ttys / name, node)) {
      listing.left_out.push_back({node.string(), *reason});
      continue;
    }
    SerialPortInfo port;
    port.name = node.string();
    ReadDetails(ttys / name, sysfs_root, port);
    port.by_id = ByIdLinkTo(dev_root, node);
    listing.ports.push_back(std::move(port));
  }
  return listing;
}

uint32_t SysfsLatencyTimer(const std::string& port, const std::string& sysfs_root) {
  // The links from the given name (a by-id link, say) are followed until
  // they reach a name that sysfs has a tty of.
  const fs::path ttys = fs::path(sysfs_root) / "class" / "tty";
  std::error_code ec;
  fs::path name = port;
  for (int hop = 0; hop < 8 && name.has_filename(); ++hop) {
    if (fs::exists(ttys / name.filename(), ec)) return LatencyTimerIn(ttys / name.filename() / "device");
    const fs::path target = fs::read_symlink(name, ec);
    if (ec) return 0;
    name = target.is_absolute() ? target : name.parent_path() / target;
  }
  return 0;
}

std::vector<std::string> ListSysfsSerialPorts(const std::string& sysfs_root, const std::string& dev_root) {
  std::vector<std::string> names;
  for (SerialPortInfo& port : ScanSysfsSerialPorts(sysfs_root, dev_root).ports) names.push_back(std::move(port.name));
  return names;
}

}  // namespace odu
