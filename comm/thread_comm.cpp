#include "comm/thread_comm.h"

#include <cstdio>
#include <new>
#include <system_error>

#include "platform/last_error.h"

namespace odu {

using namespace odu::platform;

void ReportCommError(const std::string& message, int32_t code) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "(Error: %d)", code);
  CurrentToolkit().MessageBox(message + suffix, kSerialPortErrorCaption);
}

namespace {
int32_t LastErrorCode() { return static_cast<int32_t>(GetLastError()); }

// An index outside its table leaves the field as the device reported it.
template <typename T, size_t N>
void FromTable(T& field, const T (&table)[N], int8_t index) {
  if (index >= 0 && static_cast<size_t>(index) < N) field = table[index];
}
}  // namespace

// The device layer completes every transfer before it returns (waiting for
// it without spinning), so the port keeps no transfer records of its own.
TThreadComm::TThreadComm(TComponent* owner)
    : TComponent(owner), event_chars_(std::make_unique<TCommEventChars>(this)), opener_(&SystemSerialOpener()) {}

TThreadComm::~TThreadComm() {
  *alive_ = false;
  Close();
  ReapStoppedThreads();
  // A thread whose notification is still running further up the stack (the
  // port destroyed from inside its own handler) ends when that returns.
  for (auto& t : stopped_threads_) {
    if (!t->Finished()) t.release()->FreeOnTerminate = true;
  }
  stopped_threads_.clear();
}

void TThreadComm::OpenDevice() {
  refusal_ = {};
  device_ = opener_->Open(port_name_, refusal_);
  if (!device_) {
    open_ = false;
    return;
  }
  open_ = true;
  if (!device_->IsCharacterDevice()) {
    CloseDevice();
    return;
  }
  device_->SetCommMask(0x1FF);
}

void TThreadComm::CloseDevice() {
  if (device_) device_->Close();
  device_.reset();
  open_ = false;
}

void TThreadComm::Open(DeviceHandle existing) {
  Lock();
  std::string error;
  int32_t code = 0;
  ReapStoppedThreads();
  if (open_) {
    error = "Port already assigned (open).";
    code = -1;
  } else {
    const bool by_name = !existing;
    if (existing) {
      device_ = std::move(existing);
      open_ = true;
    } else {
      OpenDevice();
    }
    if (open_) {
      if (by_name) UpdateDataControlBlock();
      UpdateCommTimeouts();
      if (!device_->SetupComm(InBufferSize, OutBufferSize)) {
        error = "Error initializing Read/Write Buffers.";
        code = LastErrorCode();
      }
      try {
        event_thread_ = std::make_unique<TCommEventThread>(device_, MonitorEvents);
        event_thread_->OnNotify = [this](TCommEventThread& sender, uint32_t mask) { DispatchCommEvent(sender, mask); };
        event_thread_->Resume();
      } catch (const std::bad_alloc&) {
        event_thread_.reset();
      } catch (const std::system_error&) {
        event_thread_.reset();
      }
      if (!event_thread_) CloseDevice();
    }
  }
  Unlock();
  if (!error.empty()) ReportCommError(error, code);
}

void TThreadComm::Close() {
  if (!open_) return;
  Lock();
  struct Unlocker {
    TThreadComm& port;
    ~Unlocker() { port.Unlock(); }
  } unlock{*this};
  StopEventThread();
  CloseDevice();
}

void TThreadComm::StopEventThread() {
  if (!event_thread_) return;
  event_thread_->OnNotify = nullptr;  // nothing reaches this port any more
  if (!event_thread_->Stop()) {
    stopped_threads_.push_back(std::move(event_thread_));
    return;
  }
  event_thread_.reset();
}

void TThreadComm::ReapStoppedThreads() {
  for (auto it = stopped_threads_.begin(); it != stopped_threads_.end();) {
    if ((*it)->Stop()) {
      it = stopped_threads_.erase(it);
    } else {
      ++it;
    }
  }
}

int32_t TThreadComm::Write(const void* buffer, uint32_t count) {
  if (!open_) return -1;
  Lock();
  uint32_t written = 0;
  if (!device_->WriteFile(buffer, count, written)) {
    uint32_t errors;
    ComStat status;
    device_->ClearCommError(errors, status);
  }
  Unlock();
  return static_cast<int32_t>(written);
}

int32_t TThreadComm::Read(void* buffer, uint32_t count) {
  if (!open_) return -1;
  Lock();
  uint32_t errors;
  ComStat status;
  device_->ClearCommError(errors, status);
  uint32_t read = 0;
  if (count > 0 && !device_->ReadFile(buffer, count, read)) device_->ClearCommError(errors, status);
  Unlock();
  return static_cast<int32_t>(read);
}

void TThreadComm::PurgeInput() {
  if (open_) device_->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR);
}

void TThreadComm::SetPortName(const std::string& name) {
  if (open_ || name == port_name_) return;
  port_name_ = name;
}

#define ODU_SETTER(Name, field)  \
  void TThreadComm::Name(int8_t value) { \
    if (value == field) return;    \
    field = value;                 \
    Lock();                        \
    UpdateDataControlBlock();      \
    Unlock();                      \
  }
ODU_SETTER(SetBaudRate, baud_rate_)
ODU_SETTER(SetParity, parity_)
ODU_SETTER(SetStopBits, stop_bits_)
ODU_SETTER(SetDataBits, data_bits_)
ODU_SETTER(SetFlowControl, flow_control_)
#undef ODU_SETTER

void TThreadComm::SetDTR(bool on) { Escape(on ? SETDTR : CLRDTR); }
void TThreadComm::SetRTS(bool on) { Escape(on ? SETRTS : CLRRTS); }

void TThreadComm::Escape(uint32_t function) {
  if (!open_) {
    ReportCommError("Port not open.", -1);
    return;
  }
  Lock();
  const bool ok = device_->EscapeCommFunction(function);
  const int32_t code = LastErrorCode();
  Unlock();
  if (!ok) ReportCommError(kEscapeCommFailure, code);
}

bool TThreadComm::ModemLineActive(int line) {
  static constexpr uint32_t kBits[] = {0, MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
  if (line < 1 || line > 4 || !open_) return false;
  uint32_t status = 0;
  return device_->GetCommModemStatus(status) && (status & kBits[line]);
}

void TThreadComm::UpdateDataControlBlock() {
  if (!open_) return;
  device_->SetupComm(InBufferSize, OutBufferSize);
  device_->GetCommState(dcb_);
  FromTable(dcb_.BaudRate, kBaudRates, baud_rate_);
  FromTable(dcb_.Parity, kParityCodes, parity_);
  switch (flow_control_) {
    case kFlowNone:
      dcb_.fOutxCtsFlow = dcb_.fOutxDsrFlow = dcb_.fOutX = dcb_.fInX = false;
      break;
    case kFlowHardware:
      dcb_.fOutxCtsFlow = dcb_.fOutxDsrFlow = true;
      break;
    case kFlowSoftware:
      dcb_.fOutX = dcb_.fInX = true;
      break;
    default:
      break;  // the device's own flow control stays
  }
  FromTable(dcb_.StopBits, kStopBitCodes, stop_bits_);
  FromTable(dcb_.ByteSize, kDataBits, data_bits_);
  dcb_.XonChar = event_chars_->XOnChar();
  dcb_.XoffChar = event_chars_->XOffChar();
  dcb_.ErrorChar = event_chars_->ErrorChar();
  dcb_.EofChar = event_chars_->EofChar();
  dcb_.EvtChar = event_chars_->EvtChar();
  dcb_.XonLim = 1024;
  dcb_.XoffLim = 1024;
  dcb_.fParity = Options & opParityCheck;
  dcb_.fDsrSensitivity = Options & opDsrSensitivity;
  dcb_.fTXContinueOnXoff = Options & opTxContinueOnXoff;
  dcb_.fErrorChar = Options & opErrorChar;
  dcb_.fNull = Options & opNullStrip;
  if (!device_->SetCommState(dcb_)) ReportCommError("Error updating DataControlBlock.", LastErrorCode());
}

void TThreadComm::UpdateCommTimeouts() {
  if (!open_) return;  // applied at the next Open
  CommTimeouts t;
  t.ReadIntervalTimeout = 0xFFFFFFFF;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = ReadTimeout;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = WriteTimeout;
  if (!device_->SetCommTimeouts(t)) ReportCommError("Error updating CommTimeouts.", LastErrorCode());
}

void TThreadComm::DispatchCommEvent(TCommEventThread&, uint32_t event_mask) {
  uint32_t errors = 0;
  ComStat status;
  if (device_) device_->ClearCommError(errors, status);
  // A handler may close or even destroy the port: the ones after it are then
  // not called, and nothing of a destroyed port is read.
  const std::shared_ptr<bool> alive = alive_;
  const auto due = [&](uint32_t bit, const auto& slot) { return *alive && open_ && (event_mask & bit) && slot; };
  if (due(EV_BREAK, OnBreak)) OnBreak(*this);
  if (due(EV_CTS, OnCts)) OnCts(*this);
  if (due(EV_DSR, OnDsr)) OnDsr(*this);
  if (due(EV_ERR, OnError)) OnError(*this, errors);
  if (due(EV_RING, OnRing)) OnRing(*this);
  if (due(EV_RLSD, OnRlsd)) OnRlsd(*this);
  if (due(EV_RXCHAR, OnRxChar) && status.cbInQue > 0) OnRxChar(*this, status.cbInQue);
  if (due(EV_RXFLAG, OnRxFlag)) OnRxFlag(*this);
  if (due(EV_TXEMPTY, OnTxEmpty)) OnTxEmpty(*this);
  if (*alive && open_ && OnCommEvent) OnCommEvent(*this, event_mask, status);
}

}  // namespace odu
