// RFC 2217 servers from elsewhere, for tests and benchmarks (Linux): ser2net 4
// or a pyserial script in front of odu-station-sim's pseudo-terminal, on a
// free port of 127.0.0.1, each with the modem-line shim preloaded so that
// the terminal has the lines the simulator keeps. Also the line settings a
// server left on the terminal, read back from its slave end.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace odu::testing {

enum class Rfc2217Peer { kSer2net, kPyserial };

const char* PeerName(Rfc2217Peer peer);

class Rfc2217Server {
 public:
  // Why `peer` cannot run on this machine (not installed, too old), or empty.
  static std::string Missing(Rfc2217Peer peer);

  // Starts `peer` in front of `pty` and waits until it accepts connections.
  // `shim` is preloaded into it with ODU_MODEM_STATE=`modem_state`; its
  // configuration and its standard error are kept in `dir`. `chardelay`
  // keeps ser2net's default wait for more serial input before it sends
  // (otherwise turned off).
  Rfc2217Server(Rfc2217Peer peer, const std::string& pty, const std::string& shim, const std::string& modem_state,
                const std::filesystem::path& dir, bool chardelay = false);
  // Kills it if it still runs.
  ~Rfc2217Server();
  Rfc2217Server(const Rfc2217Server&) = delete;
  Rfc2217Server& operator=(const Rfc2217Server&) = delete;

  bool ready() const { return port_ > 0; }
  int port() const { return port_; }
  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  // What it wrote on standard error, and why it did not start.
  std::string Log() const;
  // Kills it at once (SIGKILL): its connections are reset.
  void Kill();

 private:
  bool StartSer2net(const std::string& pty, const std::vector<std::string>& env, bool chardelay);
  bool StartPyserial(const std::string& pty, const std::vector<std::string>& env);

  std::filesystem::path dir_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
  std::string why_;
};

// The settings of a serial line as a terminal holds them.
struct LineSettings {
  unsigned baud = 0;  // the output rate
  int data_bits = 0;
  char parity = '?';  // 'N', 'E', 'O', 'M' (mark) or 'S' (space)
  int stop_bits = 0;
  bool rtscts = false;  // hardware flow control
  bool operator==(const LineSettings&) const = default;
};

// What the terminal at `path` is set to, read without taking it over (it
// is opened without becoming the controlling terminal, nothing is read from
// it); nothing when it cannot be opened.
std::optional<LineSettings> ReadLineSettings(const std::string& path);

// A port of 127.0.0.1 nobody listens on just now.
int FreeTcpPort();

}  // namespace odu::testing
