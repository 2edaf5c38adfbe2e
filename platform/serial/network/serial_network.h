// The network backend of the serial device layer: a serial port on the far
// side of a TCP connection, driven through the Telnet COM-PORT-OPTION
// (RFC 2217) or, for socket:// names, a raw byte stream without line control.
//
// One reader thread owns the receiving side: it decodes the stream, answers
// the server's option negotiation, keeps the far port's modem lines and puts
// data into the input queue. Every other call works on that state under one
// lock, so reads, waits and timeouts behave as on a local port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/serial/network/network_port_name.h"
#include "platform/serial/network/telnet_codec.h"
#include "platform/serial/serial_device.h"
#include "platform/socket/tcp_socket.h"

namespace odu::platform {

struct NetworkTimeouts {
  std::chrono::milliseconds connect{3000};
  std::chrono::milliseconds negotiation{3000};  // until the server takes up the COM port option
  std::chrono::milliseconds modem_state{1000};  // until it first reports the modem lines
};

class NetworkSerialDevice final : public SerialDevice, private telnet::Decoder::Sink {
 public:
  // Connects and negotiates; an empty handle with the last error set when
  // the server cannot be reached or will not serve a COM port.
  static DeviceHandle Open(const NetworkPortName& name, const NetworkTimeouts& timeouts = {});
  ~NetworkSerialDevice() override;

  bool IsCharacterDevice() override { return true; }
  bool SetupComm(uint32_t in_queue, uint32_t out_queue) override;
  bool GetCommState(Dcb& dcb) override;
  bool SetCommState(const Dcb& dcb) override;
  bool SetCommTimeouts(const CommTimeouts& timeouts) override;
  bool SetCommMask(uint32_t mask) override;
  bool WaitCommEvent(uint32_t& events) override;
  void CancelWait() override;
  bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override;
  bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override;
  bool PurgeComm(uint32_t flags) override;
  bool ClearCommError(uint32_t& errors, ComStat& status) override;
  bool EscapeCommFunction(uint32_t function) override;
  bool GetCommModemStatus(uint32_t& status) override;
  void Close() override;

 private:
  using SteadyClock = std::chrono::steady_clock;
  NetworkSerialDevice(NetworkPortName::Kind kind, std::unique_ptr<TcpSocket> socket);

  bool Telnet() const { return kind_ == NetworkPortName::Kind::kRfc2217; }
  // Negotiates the COM port option. Called once by Open.
  bool Negotiate(const NetworkTimeouts& timeouts);
  void ReaderLoop();

  // Sends bytes already encoded; false (with the last error) on failure.
  bool SendEncoded(const std::vector<uint8_t>& bytes, std::chrono::milliseconds timeout);
  bool SendComPort(uint8_t command, const uint8_t* value, size_t size);
  bool SendComPort(uint8_t command, uint8_t value) { return SendComPort(command, &value, 1); }
  // The common checks of a call: false with the last error when closed or gone. Under mu_.
  bool Usable() const;

  // From the decoder, on the reader thread.
  void OnData(const uint8_t* data, size_t size) override;
  void OnNegotiation(uint8_t verb, uint8_t option) override;
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size, bool overlong) override;
  void OnModemState(uint8_t state);  // under mu_
  void OnLineState(uint8_t state);   // under mu_
  // The reply to a negotiation, or nothing; sent after mu_ is released.
  std::vector<uint8_t> Answer(uint8_t verb, uint8_t option);

  const NetworkPortName::Kind kind_;
  std::unique_ptr<TcpSocket> socket_;
  std::thread reader_;
  telnet::Decoder decoder_;  // reader thread only

  std::mutex send_mu_;   // one sender at a time; held alone, never with mu_ waiting on it
  std::mutex read_mu_;   // one ReadFile at a time
  std::mutex write_mu_;  // one WriteFile at a time

  mutable std::mutex mu_;
  std::condition_variable changed_;  // any of the state below
  bool closed_ = false;
  bool gone_ = false;  // the connection has ended or failed
  std::deque<uint8_t> input_;
  uint32_t in_queue_ = 4096;
  uint32_t events_ = 0;  // since the last wait returned
  uint32_t mask_ = 0;
  bool waiting_ = false;
  bool mask_changed_ = false;
  bool cancelled_ = false;
  bool rx_abort_ = false;
  uint32_t errors_ = 0;  // CE_ bits since the last ClearCommError
  uint8_t modem_ = 0;
  bool modem_known_ = false;
  bool suspended_ = false;  // the server asked for a pause in what it is sent
  Dcb dcb_{};
  bool dcb_sent_ = false;
  CommTimeouts timeouts_{};

  // Telnet option state, reader thread (and Negotiate before it starts).
  bool com_port_taken_ = false;    // the server said DO COM-PORT-OPTION
  bool com_port_refused_ = false;  // it said DONT
  bool local_on_[256] = {};        // options this side performs
  bool remote_on_[256] = {};       // options the server performs
};

class NetworkSerialOpener final : public SerialOpener {
 public:
  explicit NetworkSerialOpener(NetworkTimeouts timeouts = {}) : timeouts_(timeouts) {}
  // A malformed network name fails with error 123 (invalid name).
  using SerialOpener::Open;
  DeviceHandle Open(const std::string& name, OpenRefusal& refusal) override;

 private:
  NetworkTimeouts timeouts_;
};

}  // namespace odu::platform
