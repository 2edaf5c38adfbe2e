// TCP connections over POSIX sockets: non-blocking descriptors driven by
// poll(), with a self-pipe that interrupts a blocked call from another thread.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/last_error.h"
#include "platform/socket/tcp_listener.h"
#include "platform/socket/tcp_socket.h"

namespace odu::platform {

namespace {

using Clock = std::chrono::steady_clock;

uint32_t NetErrorFromErrno(int err) {
  switch (err) {
    case ECONNREFUSED: return error::kConnectionRefused;
    case ENETUNREACH: return error::kNetworkUnreachable;
    case EHOSTUNREACH: return error::kHostUnreachable;
    case ETIMEDOUT: return error::kSemTimeout;
    case ENOMEM:
    case ENOBUFS: return error::kNotEnoughMemory;
    case EACCES:
    case EPERM: return error::kAccessDenied;
    default: return error::kGenFailure;
  }
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class PosixTcpSocket final : public TcpSocket {
 public:
  PosixTcpSocket(int fd, int wake_read, int wake_write) : fd_(fd), wake_read_(wake_read), wake_write_(wake_write) {}
  ~PosixTcpSocket() override {
    ::close(fd_);
    ::close(wake_read_);
    ::close(wake_write_);
  }

  size_t Send(const uint8_t* data, size_t size, std::chrono::milliseconds timeout) override {
    const Clock::time_point deadline = Clock::now() + timeout;
    size_t sent = 0;
    while (sent < size) {
      const ssize_t n = ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        SetLastError(NetErrorFromErrno(errno));
        break;
      }
      const int wait = WaitFor(POLLOUT, RemainingMs(deadline));
      if (wait <= 0) {
        SetLastError(wait == 0 ? error::kSemTimeout : error::kOperationAborted);
        break;
      }
    }
    return sent;
  }

  long Receive(uint8_t* buffer, size_t size) override {
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) {
        // Acknowledge at once: a server that sends a reply byte by byte as
        // its line delivers them, with Nagle's algorithm on, holds each byte
        // until the one before is acknowledged (Linux turns this off again by
        // itself, so it is renewed after every read).
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
      }
      if (n >= 0) return static_cast<long>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        SetLastError(NetErrorFromErrno(errno));
        return -1;
      }
      if (WaitFor(POLLIN, -1) < 0) {
        SetLastError(error::kOperationAborted);
        return -1;
      }
    }
  }

  void Interrupt() override {
    const char byte = 1;
    while (::write(wake_write_, &byte, 1) < 0 && errno == EINTR) {
    }
  }

  void FinishSending() override { ::shutdown(fd_, SHUT_WR); }

 private:
  // 1 when the socket is ready for `events` (or has failed: the next call
  // says how), 0 after `timeout_ms`, -1 once interrupted.
  int WaitFor(short events, int timeout_ms) const {
    pollfd fds[2] = {{fd_, events, 0}, {wake_read_, POLLIN, 0}};
    for (;;) {
      const int n = ::poll(fds, 2, timeout_ms);
      if (n < 0 && errno == EINTR) continue;  // the deadline is rechecked by the caller's loop
      if (n < 0) return -1;
      if (fds[1].revents != 0) return -1;  // the pipe stays readable: every later wait ends too
      return n > 0 ? 1 : 0;
    }
  }

  int fd_;
  int wake_read_;
  int wake_write_;
};

// A connected, non-blocking socket to one address, or -1 with the last error set.
int ConnectOne(const addrinfo& ai, Clock::time_point deadline) {
  const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai.ai_protocol);
  if (fd < 0) {
    SetLastError(NetErrorFromErrno(errno));
    return -1;
  }
  int err = 0;
  if (::connect(fd, ai.ai_addr, ai.ai_addrlen) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      pollfd p{fd, POLLOUT, 0};
      int n;
      do {
        n = ::poll(&p, 1, RemainingMs(deadline));
      } while (n < 0 && errno == EINTR);
      socklen_t len = sizeof err;
      if (n == 0) {
        err = ETIMEDOUT;
      } else if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
      }
    }
  }
  if (err != 0) {
    ::close(fd);
    SetLastError(NetErrorFromErrno(err));
    return -1;
  }
  // Frames are a few bytes each and answered one by one: send each at once.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// The first descriptor `one` makes of an address that `host`:`service`
// resolves to (with `flags`), or -1; the resolver's error in `gai`.
int FirstAddress(const std::string& host, const std::string& service, int flags,
                 const std::function<int(const addrinfo&)>& one, int& gai) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (gai != 0) return -1;
  int fd = -1;
  for (const addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) fd = one(*ai);
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace

int ListenTcp(const std::string& host, const std::string& port, std::string& bound, std::string& error) {
  int err = 0;
  int gai = 0;
  const int fd = FirstAddress(host, port, AI_PASSIVE, [&err](const addrinfo& a) {
    const int s = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
    if (s < 0) {
      err = errno;
      return -1;
    }
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s, a.ai_addr, a.ai_addrlen) != 0 || ::listen(s, 1) != 0) {
      err = errno;
      ::close(s);
      return -1;
    }
    return s;
  }, gai);
  if (gai != 0) {
    error = host + ": " + ::gai_strerror(gai);
    return -1;
  }
  if (fd < 0) {
    error = "cannot listen on " + host + ":" + port + ": " + std::strerror(err);
    return -1;
  }
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  char text[INET6_ADDRSTRLEN] = "?";
  unsigned number = 0;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    if (address.ss_family == AF_INET6) {
      const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&address);
      ::inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
      bound = "[" + std::string(text) + "]:" + std::to_string(ntohs(a6->sin6_port));
      return fd;
    }
    const auto* a4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &a4->sin_addr, text, sizeof text);
    number = ntohs(a4->sin_port);
  }
  bound = std::string(text) + ":" + std::to_string(number);
  return fd;
}

std::unique_ptr<TcpSocket> ConnectTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  int gai = 0;
  const int fd = FirstAddress(host, std::to_string(port), AI_NUMERICSERV | AI_ADDRCONFIG,
                              [deadline](const addrinfo& ai) { return ConnectOne(ai, deadline); }, gai);
  if (gai != 0) {
    SetLastError(gai == EAI_SYSTEM ? NetErrorFromErrno(errno) : error::kBadNetPath);
    return nullptr;
  }
  if (fd < 0) return nullptr;
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastError(NetErrorFromErrno(errno));
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixTcpSocket>(fd, wake[0], wake[1]);
}

}  // namespace odu::platform
