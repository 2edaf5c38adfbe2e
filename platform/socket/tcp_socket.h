// A TCP client connection, the part of the system's sockets that a serial
// port reached over the network needs: POSIX sockets or Winsock, picked by
// the build. Failures leave a Windows error code in GetLastError().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>


namespace odu::platform {

class TcpSocket {
 public:
  virtual ~TcpSocket() = default;  // closes the connection

  // Sends all of `data` unless `timeout` passes first, or the connection
  // fails; the count sent either way.
  virtual size_t Send(const uint8_t* data, size_t size, std::chrono::milliseconds timeout) = 0;
  // Blocks until bytes come (their count), the peer ends the connection (0),
  // it fails or Interrupt is called (-1). One receiving thread at a time.
  virtual long Receive(uint8_t* buffer, size_t size) = 0;
  // Makes the pending and every later Receive return -1. Any thread.
  virtual void Interrupt() = 0;
  // Ends the sending direction once what was sent has gone (a FIN).
  virtual void FinishSending() = 0;
};

// Connects to `host` (a name, an IPv4 address or a bracketless IPv6 address)
// on `port`, trying each address the name gives within `timeout` in all.
std::unique_ptr<TcpSocket> ConnectTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);

}  // namespace odu::platform
