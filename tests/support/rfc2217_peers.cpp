#include "tests/support/rfc2217_peers.h"

#include <arpa/inet.h>
#include <asm/termbits.h>  // struct termios2, TCGETS2: the rate as a number
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/report_file.h"

#ifndef ODU_RFC2217_PYSERIAL_SERVER
#error "ODU_RFC2217_PYSERIAL_SERVER names tests/support/rfc2217_pyserial_server.py"
#endif

namespace odu::testing {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kStartLimitMs = 10000;

// `name` in the directories of PATH, then in `also`; empty when nowhere.
std::string FindProgram(const std::string& name, const std::vector<std::string>& also = {}) {
  std::vector<std::string> dirs = also;
  if (const char* path = std::getenv("PATH")) {
    std::stringstream in(path);
    std::vector<std::string> from_path;
    for (std::string dir; std::getline(in, dir, ':');)
      if (!dir.empty()) from_path.push_back(dir);
    dirs.insert(dirs.begin(), from_path.begin(), from_path.end());
  }
  for (const auto& dir : dirs) {
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// The first line `args` prints, and its exit status.
std::pair<std::string, int> Run(const std::vector<std::string>& args) {
  ChildProcess child(args, {}, true, "/dev/null");
  if (!child.started()) return {{}, -1};
  std::string line = child.ReadLine(10000);
  return {line, child.Wait(10000)};
}

std::string Ser2net() {
  static const std::string path = FindProgram("ser2net", {"/usr/sbin", "/sbin", "/usr/local/sbin"});
  return path;
}

// A python3 that has pyserial's RFC 2217 module: the system's first (a
// python3 earlier in PATH, such as pyenv's, may lack the Debian package).
std::string PythonWithPyserial() {
  static const std::string path = [] {
    std::vector<std::string> candidates{"/usr/bin/python3"};
    if (std::string p = FindProgram("python3"); !p.empty()) candidates.push_back(p);
    for (const auto& python : candidates) {
      if (::access(python.c_str(), X_OK) == 0 && Run({python, "-c", "import serial.rfc2217"}).second == 0)
        return python;
    }
    return std::string();
  }();
  return path;
}

// Whether something listens on 127.0.0.1:`port` (from /proc/net/tcp, so
// that the look does not itself connect and make the server open its port).
bool Listening(int port) {
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;  // TCP_LISTEN
  }
  return false;
}

}  // namespace

const char* PeerName(Rfc2217Peer peer) { return peer == Rfc2217Peer::kSer2net ? "ser2net" : "pyserial"; }

std::string Rfc2217Server::Missing(Rfc2217Peer peer) {
  if (peer == Rfc2217Peer::kPyserial) {
    return PythonWithPyserial().empty() ? "no python3 with pyserial (python3-serial) found" : "";
  }
  if (Ser2net().empty()) return "ser2net is not installed";
  const auto [version, status] = Run({Ser2net(), "-v"});
  // "ser2net version 4.3.11": the YAML configuration came with version 4.
  const auto at = version.find("version ");
  if (at == std::string::npos || std::atoi(version.c_str() + at + 8) < 4) return "ser2net 4 is needed, found: " + version;
  return {};
}

Rfc2217Server::Rfc2217Server(Rfc2217Peer peer, const std::string& pty, const std::string& shim,
                             const std::string& modem_state, const fs::path& dir, bool chardelay)
    : dir_(dir) {
  const std::vector<std::string> env{"LD_PRELOAD=" + shim, "ODU_MODEM_STATE=" + modem_state};
  if (const std::string missing = Missing(peer); !missing.empty()) {
    why_ = missing;
    return;
  }
  if (peer == Rfc2217Peer::kSer2net) {
    // A free port can be taken by someone else before ser2net binds it: a
    // few tries.
    for (int attempt = 0; attempt < 3 && !StartSer2net(pty, env, chardelay); ++attempt) {
    }
  } else {
    StartPyserial(pty, env);
  }
}

Rfc2217Server::~Rfc2217Server() { Kill(); }

bool Rfc2217Server::StartSer2net(const std::string& pty, const std::vector<std::string>& env, bool chardelay) {
  const int port = FreeTcpPort();
  if (port <= 0) {
    why_ = "no free port";
    return false;
  }
  // Full speed unless asked: no wait for more serial input before it goes
  // to the network.
  const fs::path config = dir_ / "ser2net.yaml";
  {
    std::ofstream out(config, std::ios::trunc);
    out << "connection: &odu\n"
        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
        << "  connector: serialdev," << pty << ",9600n81,local\n"
        << "  options:\n"
        << "    kickolduser: true\n"
        << "    chardelay: " << (chardelay ? "true" : "false") << "\n";
  }
  Kill();
  // -d: in the foreground, its messages on standard output, which goes to
  // the log with standard error; -u: no UUCP lock files; -P: its pid file
  // here, not in /run.
  child_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$@\" 1>&2", Ser2net(), "-d", "-u", "-P",
                               (dir_ / "ser2net.pid").string(), "-c", config.string()},
      env, false, (dir_ / "ser2net.err").string());
  const auto until = Clock::now() + std::chrono::milliseconds(kStartLimitMs);
  while (Clock::now() < until) {
    if (Listening(port)) {
      port_ = port;
      return true;
    }
    if (!child_->Running()) break;  // it ended: the port was taken, or a bad configuration
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  why_ = "ser2net did not listen on port " + std::to_string(port);
  Kill();
  return false;
}

bool Rfc2217Server::StartPyserial(const std::string& pty, const std::vector<std::string>& env) {
  child_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{PythonWithPyserial(), ODU_RFC2217_PYSERIAL_SERVER, pty}, env, true,
      (dir_ / "pyserial.err").string());
  // It prints its port once it listens.
  const int port = std::atoi(child_->ReadLine(kStartLimitMs).c_str());
  if (port <= 0) {
    why_ = "the pyserial server gave no port";
    Kill();
    return false;
  }
  port_ = port;
  return true;
}

std::string Rfc2217Server::Log() const {
  std::string log = why_.empty() ? "" : why_ + "\n";
  for (const char* name : {"ser2net.err", "pyserial.err"}) log += ReadWholeFile(dir_ / name);
  return log;
}

void Rfc2217Server::Kill() {
  if (!child_) return;
  child_->Signal(SIGKILL);
  child_->Wait(5000);
  child_.reset();
}

std::optional<LineSettings> ReadLineSettings(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios2 t{};
  const bool ok = ::ioctl(fd, TCGETS2, &t) == 0;
  ::close(fd);
  if (!ok) return std::nullopt;
  LineSettings s;
  s.baud = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5: s.data_bits = 5; break;
    case CS6: s.data_bits = 6; break;
    case CS7: s.data_bits = 7; break;
    default: s.data_bits = 8; break;
  }
  if (!(t.c_cflag & PARENB)) s.parity = 'N';
  else if (t.c_cflag & CMSPAR) s.parity = (t.c_cflag & PARODD) ? 'M' : 'S';
  else s.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
  s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  s.rtscts = (t.c_cflag & CRTSCTS) != 0;
  return s;
}

int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace odu::testing
