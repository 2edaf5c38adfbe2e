// The serial port component: one device opened by name, its line settings as
// small indices into fixed tables, transfers that return when they have
// ended, and an event thread that reports line events on the window's thread.
// Failures are shown at once in a "Serial Port Error." box and never thrown;
// callers learn outcomes from Connected() and the byte counts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/comm_event_chars.h"
#include "comm/comm_event_thread.h"
#include "platform/serial/serial_device.h"
#include "platform/toolkit/toolkit.h"

namespace odu {

class TThreadComm;

// Handler slots; an empty slot is skipped.
using TCommNotify = std::function<void(TThreadComm& sender)>;
using TCommErrorNotify = std::function<void(TThreadComm& sender, uint32_t errors)>;
using TCommRxCharNotify = std::function<void(TThreadComm& sender, uint32_t count)>;
using TCommEventNotify = std::function<void(TThreadComm& sender, uint32_t event_mask, const platform::ComStat& status)>;

// Elements of the set of monitored line events (bit i of MonitorEvents).
enum CommEventElement : uint16_t {
  evBreak = 1u << 0,
  evCts = 1u << 1,
  evDsr = 1u << 2,
  evError = 1u << 3,
  evRing = 1u << 4,
  evRlsd = 1u << 5,
  evRxChar = 1u << 6,
  evRxFlag = 1u << 7,
  evTxEmpty = 1u << 8,
};
inline constexpr uint16_t kAllCommEvents = 0x1FF;

// Elements of the set of line options (bit i of Options).
enum CommOptionElement : uint8_t {
  opParityCheck = 1u << 0,
  opDsrSensitivity = 1u << 1,
  opTxContinueOnXoff = 1u << 2,
  opErrorChar = 1u << 3,
  opNullStrip = 1u << 4,
};

// Setting tables: index -> value written into the line state.
inline constexpr uint32_t kBaudRates[15] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
inline constexpr uint8_t kParityCodes[5] = {0, 2, 1, 3, 4};  // none, even, odd, mark, space
inline constexpr uint8_t kStopBitCodes[3] = {0, 1, 2};       // one, one and a half, two
inline constexpr uint8_t kDataBits[5] = {4, 5, 6, 7, 8};

// Flow-control kinds.
inline constexpr int8_t kFlowNone = 0;
inline constexpr int8_t kFlowHardware = 1;
inline constexpr int8_t kFlowSoftware = 2;
inline constexpr int8_t kFlowDevice = 3;

// The caption of the port component's boxes, and the message of the box
// for a modem line that could not be set (DTR, RTS).
inline constexpr char kSerialPortErrorCaption[] = "Serial Port Error.";
inline constexpr char kEscapeCommFailure[] = "EscapeCommFunction failure.";

// Shows "<message>(Error: <code>)" in a modal box captioned "Serial Port Error.".
void ReportCommError(const std::string& message, int32_t code);

class TThreadComm : public platform::TComponent {
 public:
  explicit TThreadComm(platform::TComponent* owner);
  ~TThreadComm() override;

  // Opens PortName, or adopts `existing` when given. Test Connected() after.
  void Open(platform::DeviceHandle existing = nullptr);
  void Close();
  bool Connected() const { return open_; }

  // Bytes written or read, or -1 while closed.
  int32_t Write(const void* buffer, uint32_t count);
  int32_t Read(void* buffer, uint32_t count);
  // Drops the receive queue and aborts a pending read; output is untouched.
  void PurgeInput();

  const std::string& PortName() const { return port_name_; }
  void SetPortName(const std::string& name);
  int8_t BaudRate() const { return baud_rate_; }
  void SetBaudRate(int8_t index);
  int8_t Parity() const { return parity_; }
  void SetParity(int8_t index);
  int8_t StopBits() const { return stop_bits_; }
  void SetStopBits(int8_t index);
  int8_t DataBits() const { return data_bits_; }
  void SetDataBits(int8_t index);
  int8_t FlowControl() const { return flow_control_; }
  void SetFlowControl(int8_t kind);

  void SetDTR(bool on);
  void SetRTS(bool on);
  void Escape(uint32_t function);
  // 1 CTS, 2 DSR, 3 ring, 4 carrier detect; false while closed.
  bool ModemLineActive(int line);

  void UpdateDataControlBlock();
  void UpdateCommTimeouts();
  virtual void OpenDevice();
  void CloseDevice();
  void Lock() { lock_.Acquire(); }
  void Unlock() { lock_.Release(); }

  // Target of the event thread's notification; window's thread.
  void DispatchCommEvent(TCommEventThread& sender, uint32_t event_mask);

  TCommEventChars& EventChars() { return *event_chars_; }

  // Where names are opened; the platform's devices unless set.
  void SetOpener(platform::SerialOpener* opener) { opener_ = opener; }
  platform::SerialOpener& Opener() const { return *opener_; }
  const platform::DeviceHandle& Device() const { return device_; }
  // What the last open found beyond its error code: the holder of a port in
  // use, what a name is instead of a serial device. Empty after a good open.
  const platform::OpenRefusal& Refusal() const { return refusal_; }

  // Applied at the next Open.
  uint32_t ReadTimeout = 1000;
  uint32_t WriteTimeout = 1000;
  uint16_t InBufferSize = 4096;
  uint16_t OutBufferSize = 4096;
  uint16_t MonitorEvents = kAllCommEvents;
  uint8_t Options = 0;

  TCommNotify OnBreak;
  TCommNotify OnCts;
  TCommNotify OnDsr;
  TCommErrorNotify OnError;
  TCommNotify OnRing;
  TCommNotify OnRlsd;
  TCommRxCharNotify OnRxChar;
  TCommNotify OnRxFlag;
  TCommNotify OnTxEmpty;
  TCommEventNotify OnCommEvent;

 private:
  void StopEventThread();
  void ReapStoppedThreads();

  platform::DeviceHandle device_;
  platform::OpenRefusal refusal_;
  platform::Dcb dcb_{};
  std::string port_name_ = "COM1";
  platform::TCriticalSection lock_;
  int8_t baud_rate_ = 6;
  int8_t parity_ = 0;
  int8_t stop_bits_ = 0;
  int8_t data_bits_ = 4;
  bool open_ = false;
  std::unique_ptr<TCommEventThread> event_thread_;
  std::unique_ptr<TCommEventChars> event_chars_;
  int8_t flow_control_ = kFlowDevice;
  platform::SerialOpener* opener_;
  // Threads stopped from inside their own notification, joined later.
  std::vector<std::unique_ptr<TCommEventThread>> stopped_threads_;
  // False once the destructor has begun: a dispatch whose handler destroyed
  // the port reads this token, never the port, to know it must stop.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace odu
