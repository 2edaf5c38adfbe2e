// TCP connections over Winsock 2: a non-blocking socket whose arrivals
// signal an event (WSAEventSelect), and a second event that interrupts a
// blocked receive from another thread.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <mutex>

#include "platform/last_error.h"
#include "platform/socket/tcp_socket.h"

namespace odu::platform {

namespace {

using Clock = std::chrono::steady_clock;
// A blocked send looks for an interrupt this often.
constexpr long kSendSliceUs = 50'000;

uint32_t NetErrorFromWsa(int err) {
  switch (err) {
    case WSAECONNREFUSED: return error::kConnectionRefused;
    case WSAENETUNREACH: return error::kNetworkUnreachable;
    case WSAEHOSTUNREACH: return error::kHostUnreachable;
    case WSAETIMEDOUT: return error::kSemTimeout;
    case WSAENOBUFS: return error::kNotEnoughMemory;
    case WSAEACCES: return error::kAccessDenied;
    default: return error::kGenFailure;
  }
}

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

long RemainingUs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<long>(left < 1'000'000'000 ? left : 1'000'000'000) : 0;
}

// 1 when `s` is writable, 0 after `us`, -1 on failure (with `err`).
int WaitWritable(SOCKET s, long us, int& err) {
  fd_set write_set;
  fd_set error_set;
  FD_ZERO(&write_set);
  FD_ZERO(&error_set);
  FD_SET(s, &write_set);
  FD_SET(s, &error_set);
  timeval tv{us / 1'000'000, us % 1'000'000};
  const int n = select(0, nullptr, &write_set, &error_set, &tv);
  if (n == SOCKET_ERROR) {
    err = WSAGetLastError();
    return -1;
  }
  if (n == 0) return 0;
  if (FD_ISSET(s, &error_set)) {
    int len = sizeof err;
    err = 0;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
    if (err == 0) err = WSAECONNRESET;
    return -1;
  }
  return 1;
}

class WinsockTcpSocket final : public TcpSocket {
 public:
  WinsockTcpSocket(SOCKET s, WSAEVENT arrived, WSAEVENT interrupt) : s_(s), arrived_(arrived), interrupt_(interrupt) {}
  ~WinsockTcpSocket() override {
    closesocket(s_);
    WSACloseEvent(arrived_);
    WSACloseEvent(interrupt_);
  }

  size_t Send(const uint8_t* data, size_t size, std::chrono::milliseconds timeout) override {
    const Clock::time_point deadline = Clock::now() + timeout;
    size_t sent = 0;
    while (sent < size) {
      if (interrupted_) {
        SetLastError(error::kOperationAborted);
        break;
      }
      const int chunk = static_cast<int>(size - sent < 65536 ? size - sent : 65536);
      const int n = send(s_, reinterpret_cast<const char*>(data + sent), chunk, 0);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        SetLastError(NetErrorFromWsa(err));
        break;
      }
      const long left = RemainingUs(deadline);
      if (left == 0) {
        SetLastError(error::kSemTimeout);
        break;
      }
      if (WaitWritable(s_, left < kSendSliceUs ? left : kSendSliceUs, err) < 0) {
        SetLastError(NetErrorFromWsa(err));
        break;
      }
    }
    return sent;
  }

  long Receive(uint8_t* buffer, size_t size) override {
    const int chunk = static_cast<int>(size < 65536 ? size : 65536);
    for (;;) {
      const int n = recv(s_, reinterpret_cast<char*>(buffer), chunk, 0);
      if (n >= 0) return n;
      const int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        SetLastError(NetErrorFromWsa(err));
        return -1;
      }
      WSAEVENT events[2] = {interrupt_, arrived_};
      const DWORD which = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
      if (which != WSA_WAIT_EVENT_0 + 1) {
        SetLastError(error::kOperationAborted);
        return -1;
      }
      WSANETWORKEVENTS happened;
      WSAEnumNetworkEvents(s_, arrived_, &happened);  // resets the event
    }
  }

  void Interrupt() override {
    interrupted_ = true;
    WSASetEvent(interrupt_);
  }

  void FinishSending() override { shutdown(s_, SD_SEND); }

 private:
  SOCKET s_;
  WSAEVENT arrived_;
  WSAEVENT interrupt_;
  std::atomic<bool> interrupted_{false};
};

// A connected, non-blocking socket to one address, or INVALID_SOCKET with the last error set.
SOCKET ConnectOne(const addrinfo& ai, Clock::time_point deadline) {
  SOCKET s = socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
  if (s == INVALID_SOCKET) {
    SetLastError(NetErrorFromWsa(WSAGetLastError()));
    return INVALID_SOCKET;
  }
  u_long non_blocking = 1;
  ioctlsocket(s, FIONBIO, &non_blocking);
  int err = 0;
  if (connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) == SOCKET_ERROR) {
    err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      const int ready = WaitWritable(s, RemainingUs(deadline), err);
      if (ready == 0) err = WSAETIMEDOUT;
      if (ready == 1) err = 0;
    }
  }
  if (err != 0) {
    closesocket(s);
    SetLastError(NetErrorFromWsa(err));
    return INVALID_SOCKET;
  }
  // Frames are a few bytes each and answered one by one: send each at once.
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  // Acknowledge every segment (SIO_TCP_SET_ACK_FREQUENCY): a server that
  // sends a reply byte by byte with Nagle's algorithm on holds each byte
  // until the one before is acknowledged. Where it is not known, nothing.
  DWORD every_segment = 1;
  DWORD returned = 0;
  WSAIoctl(s, _WSAIOW(IOC_VENDOR, 23), &every_segment, sizeof every_segment, nullptr, 0, &returned, nullptr, nullptr);
  return s;
}

}  // namespace

std::unique_ptr<TcpSocket> ConnectTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
  if (!StartWinsock()) {
    SetLastError(error::kNotSupported);
    return nullptr;
  }
  const Clock::time_point deadline = Clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    SetLastError(error::kBadNetPath);
    return nullptr;
  }
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo* ai = found; ai && s == INVALID_SOCKET; ai = ai->ai_next) s = ConnectOne(*ai, deadline);
  freeaddrinfo(found);
  if (s == INVALID_SOCKET) return nullptr;
  WSAEVENT arrived = WSACreateEvent();
  WSAEVENT interrupt = WSACreateEvent();
  if (arrived == WSA_INVALID_EVENT || interrupt == WSA_INVALID_EVENT ||
      WSAEventSelect(s, arrived, FD_READ | FD_CLOSE) == SOCKET_ERROR) {
    SetLastError(error::kNotEnoughMemory);
    if (arrived != WSA_INVALID_EVENT) WSACloseEvent(arrived);
    if (interrupt != WSA_INVALID_EVENT) WSACloseEvent(interrupt);
    closesocket(s);
    return nullptr;
  }
  return std::make_unique<WinsockTcpSocket>(s, arrived, interrupt);
}

}  // namespace odu::platform
