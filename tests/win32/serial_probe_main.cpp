// odu-serial-probe: the system's serial device layer driven line by line
// from standard input, so that a test on the other side of the line (a Linux
// process holding the pseudo-terminal behind a wine COM port) can make each
// call and check both ends. One reply line per command, flushed at once:
//   "ok [values...]" or "fail <last error>".
// A wait runs on a thread of its own ("wait"), as the port's event thread
// does, and so can a read ("readbg"); "join" gives its result.
//
// Commands: open NAME | char | setup IN OUT | getstate |
//   state BAUD BITS PARITY STOP CTSFLOW DSRFLOW DTRCTL RTSCTL |
//   timeouts RI RM RC WM WC | mask M | escape F | modem | read N |
//   write HEX | purge F | errors | wait | readbg N | cancel | join | close | quit
// (numbers in decimal or 0x hex; HEX as pairs of digits).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/serial/serial_device.h"

namespace {

using namespace odu::platform;

void Reply(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string Result(bool ok, const std::string& values = "") {
  if (!ok) return "fail " + std::to_string(GetLastError());
  return values.empty() ? "ok" : "ok " + values;
}

std::optional<uint32_t> Number(std::istream& in) {
  std::string word;
  if (!(in >> word)) return std::nullopt;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<std::string> Bytes(const std::string& hex) {
  if (hex.size() % 2) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const long v = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0') return std::nullopt;
    out += static_cast<char>(v);
  }
  return out;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02X", c);
    out += two;
  }
  return out.empty() ? "-" : out;
}

class Probe {
 public:
  ~Probe() {
    if (device_) device_->Close();
    if (waiter_.joinable()) waiter_.join();
  }

  // The reply to one command line.
  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "open") {
      std::string name;
      std::getline(in >> std::ws, name);
      if (device_) return "fail busy";
      device_ = SystemSerialOpener().Open(name);
      return Result(device_ != nullptr);
    }
    if (!device_) return "fail not-open";
    std::vector<uint32_t> n;
    for (std::optional<uint32_t> v; (v = Number(in));) n.push_back(*v);
    auto needs = [&](size_t count) { return n.size() == count; };
    SerialDevice& d = *device_;
    if (cmd == "char" && needs(0)) return Result(d.IsCharacterDevice());
    if (cmd == "setup" && needs(2)) return Result(d.SetupComm(n[0], n[1]));
    if (cmd == "getstate" && needs(0)) {
      Dcb dcb;
      if (!d.GetCommState(dcb)) return Result(false);
      std::ostringstream v;
      v << dcb.BaudRate << ' ' << int{dcb.ByteSize} << ' ' << int{dcb.Parity} << ' ' << int{dcb.StopBits} << ' '
        << dcb.fOutxCtsFlow << ' ' << dcb.fOutxDsrFlow << ' ' << int{dcb.fDtrControl} << ' ' << int{dcb.fRtsControl}
        << ' ' << dcb.fOutX << ' ' << dcb.fInX << ' ' << dcb.fBinary;
      return Result(true, v.str());
    }
    if (cmd == "state" && needs(8)) {
      Dcb dcb;
      if (!d.GetCommState(dcb)) return Result(false);
      dcb.BaudRate = n[0];
      dcb.ByteSize = static_cast<uint8_t>(n[1]);
      dcb.Parity = static_cast<uint8_t>(n[2]);
      dcb.StopBits = static_cast<uint8_t>(n[3]);
      dcb.fOutxCtsFlow = n[4] != 0;
      dcb.fOutxDsrFlow = n[5] != 0;
      dcb.fDtrControl = static_cast<uint8_t>(n[6]);
      dcb.fRtsControl = static_cast<uint8_t>(n[7]);
      return Result(d.SetCommState(dcb));
    }
    if (cmd == "timeouts" && needs(5)) return Result(d.SetCommTimeouts({n[0], n[1], n[2], n[3], n[4]}));
    if (cmd == "mask" && needs(1)) return Result(d.SetCommMask(n[0]));
    if (cmd == "escape" && needs(1)) return Result(d.EscapeCommFunction(n[0]));
    if (cmd == "purge" && needs(1)) return Result(d.PurgeComm(n[0]));
    if (cmd == "modem" && needs(0)) {
      uint32_t status = 0;
      const bool ok = d.GetCommModemStatus(status);
      return Result(ok, std::to_string(status));
    }
    if (cmd == "errors" && needs(0)) {
      uint32_t errors = 0;
      ComStat stat;
      const bool ok = d.ClearCommError(errors, stat);
      return Result(ok, std::to_string(errors) + " " + std::to_string(stat.cbInQue) + " " +
                            std::to_string(stat.cbOutQue));
    }
    if (cmd == "read" && needs(1) && n[0] <= 65536) {
      std::string buffer(n[0], '\0');
      uint32_t got = 0;
      const bool ok = d.ReadFile(buffer.data(), n[0], got);
      // The count is reported also on failure: it must be set then too.
      const std::string values = std::to_string(got) + " " + Hex(buffer.substr(0, got));
      return ok ? Result(true, values) : Result(false) + " " + values;
    }
    if (cmd == "write") {
      std::string hex;
      std::istringstream again(line);
      again >> cmd >> hex;
      const auto bytes = Bytes(hex);
      if (!bytes) return "fail usage";
      uint32_t put = 0;
      const bool ok = d.WriteFile(bytes->data(), static_cast<uint32_t>(bytes->size()), put);
      return ok ? Result(true, std::to_string(put)) : Result(false) + " " + std::to_string(put);
    }
    if (cmd == "wait" && needs(0)) {
      if (waiter_.joinable()) return "fail busy";
      waiter_ = std::thread([this, device = device_] {
        uint32_t events = 0;
        const bool ok = device->WaitCommEvent(events);
        waited_ = Result(ok, std::to_string(events));
      });
      return "ok";
    }
    if (cmd == "readbg" && needs(1) && n[0] <= 65536) {  // a read on the waiting thread
      if (waiter_.joinable()) return "fail busy";
      waiter_ = std::thread([this, device = device_, count = n[0]] {
        std::string buffer(count, '\0');
        uint32_t got = 0;
        const bool ok = device->ReadFile(buffer.data(), count, got);
        waited_ = ok ? Result(true, std::to_string(got)) : Result(false) + " " + std::to_string(got);
      });
      return "ok";
    }
    if (cmd == "join" && needs(0)) {
      if (!waiter_.joinable()) return "fail no-wait";
      waiter_.join();
      return waited_;
    }
    if (cmd == "cancel" && needs(0)) {
      d.CancelWait();
      return "ok";
    }
    if (cmd == "close" && needs(0)) {
      d.Close();
      return "ok";
    }
    return "fail usage";
  }

 private:
  DeviceHandle device_;
  std::thread waiter_;
  std::string waited_;  // written by the waiter, read after joining it
};

}  // namespace

int main() {
  Probe probe;
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "quit") break;
    if (line.empty()) continue;
    Reply(probe.Run(line));
  }
  return 0;
}
