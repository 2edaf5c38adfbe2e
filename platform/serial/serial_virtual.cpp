#include "platform/serial/serial_virtual.h"

#include <algorithm>
#include <utility>

#include "platform/last_error.h"

namespace odu::platform {

// One open handle on one end. Closed handles keep failing with error 6, so a
// thread that still holds one can never reach the end's next user.
class VirtualHandle final : public SerialDevice {
 public:
  VirtualHandle(std::shared_ptr<VirtualNullModem> modem, int end, bool character_device)
      : modem_(std::move(modem)), end_(end), character_device_(character_device) {}
  ~VirtualHandle() override { Close(); }

  bool IsCharacterDevice() override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g)) return false;
    return character_device_;
  }

  bool SetupComm(uint32_t in_queue, uint32_t out_queue) override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g) || Faulted(VirtualCall::SetupComm)) return false;
    if (in_queue == 0 || out_queue == 0) return Fail(error::kInvalidParameter);
    end().in_queue_size = in_queue;
    end().out_queue_size = out_queue;
    return true;
  }

  bool GetCommState(Dcb& dcb) override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g)) return false;
    dcb = end().dcb;
    return true;
  }

  bool SetCommState(const Dcb& dcb) override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g) || Faulted(VirtualCall::SetCommState)) return false;
    // As the common drivers do: no speed, or a character size the UART has
    // not, is refused.
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS)
      return Fail(error::kInvalidParameter);
    end().dcb = dcb;
    return true;
  }

  bool SetCommTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g) || Faulted(VirtualCall::SetCommTimeouts)) return false;
    end().timeouts = timeouts;
    return true;
  }

  bool SetCommMask(uint32_t mask) override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g)) return false;
    end().mask = mask;
    end().history &= mask;
    // A pending wait completes at once with an empty mask, as on Windows.
    if (waiting_) {
      mask_changed_ = true;
      Wake();
    }
    return true;
  }

  bool WaitCommEvent(uint32_t& events) override {
    std::unique_lock lock(modem_->mutex_);
    events = 0;
    ++end().calls;
    if (Broken()) return false;
    auto ready = [&] { return closed_ || cancelled_ || end().vanished || mask_changed_ || (end().history & end().mask) != 0; };
    if (!ready()) {
      waiting_ = true;
      woken_ = false;
      modem_->clock_.Release();
      modem_->cv_.wait(lock, ready);
      if (!woken_) modem_->clock_.Hold();
      waiting_ = false;
      woken_ = false;
    }
    if (Broken()) return false;
    if (mask_changed_) {
      mask_changed_ = false;
      return true;
    }
    events = end().history & end().mask;
    end().history = 0;
    return true;
  }

  void CancelWait() override {
    std::lock_guard g(modem_->mutex_);
    cancelled_ = true;
    Wake();
  }

  bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override {
    std::unique_lock lock(modem_->mutex_);
    read = 0;
    ++end().calls;
    if (Broken() || Faulted(VirtualCall::ReadFile)) return false;
    if (count == 0) return true;
    const CommTimeouts& t = end().timeouts;
    const bool immediate = t.ReadIntervalTimeout == 0xFFFFFFFF && t.ReadTotalTimeoutConstant == 0 && t.ReadTotalTimeoutMultiplier == 0;
    if (!immediate) {
      const uint64_t total = uint64_t{t.ReadTotalTimeoutConstant} + uint64_t{t.ReadTotalTimeoutMultiplier} * count;
      const Nanos deadline = (t.ReadTotalTimeoutConstant == 0 && t.ReadTotalTimeoutMultiplier == 0)
                                 ? kForever
                                 : modem_->clock_.Now() + Millis(static_cast<int64_t>(total));
      modem_->clock_.WaitUntil(lock, modem_->cv_, deadline, [&] { return closed_ || end().vanished || end().input.size() >= count; });
      if (Broken()) return false;
    }
    auto& in = end().input;
    const size_t n = std::min<size_t>(count, in.size());
    std::copy_n(in.begin(), n, static_cast<uint8_t*>(buffer));
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    read = static_cast<uint32_t>(n);
    return true;
  }

  bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override {
    std::unique_lock lock(modem_->mutex_);
    written = 0;
    ++end().calls;
    if (Broken() || Faulted(VirtualCall::WriteFile)) return false;
    if (count == 0) return true;
    const CommTimeouts& t = end().timeouts;
    const uint64_t total = uint64_t{t.WriteTotalTimeoutConstant} + uint64_t{t.WriteTotalTimeoutMultiplier} * count;
    const Nanos deadline = total == 0 ? kForever : modem_->clock_.Now() + Millis(static_cast<int64_t>(total));
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const int peer = 1 - end_;
    auto may_send = [&] {
      const Dcb& d = end().dcb;
      return (!d.fOutxCtsFlow || modem_->Cts(end_)) && (!d.fOutxDsrFlow || modem_->Dsr(end_));
    };
    bool notify = false;
    if (!modem_->paced_) {
      // Output held by the handshake lines waits for them within the timeout.
      modem_->clock_.WaitUntil(lock, modem_->cv_, deadline, [&] { return closed_ || end().vanished || may_send(); });
      if (Broken()) return false;
      if (may_send()) {
        notify = modem_->Deliver(peer, std::span(bytes, count));
        written = count;
      }
    } else {
      const Nanos byte_time = modem_->ByteTime(end_);
      // Each byte leaves one character time after the one before it, counted
      // from the start of the write, so that the waits' lateness does not
      // add up over a long write.
      Nanos line_free = modem_->clock_.Now();
      for (uint32_t i = 0; i < count; ++i) {
        if (!may_send()) {
          modem_->clock_.WaitUntil(lock, modem_->cv_, deadline, [&] { return closed_ || end().vanished || may_send(); });
          line_free = std::max(line_free, modem_->clock_.Now());
        }
        if (Broken()) return false;
        if (!may_send()) break;
        const Nanos done = line_free + byte_time;
        line_free = done;
        if (deadline != kForever && done > deadline) break;
        modem_->clock_.WaitUntil(lock, modem_->cv_, done, [&] { return closed_ || end().vanished; });
        if (Broken()) return false;
        if (modem_->Deliver(peer, std::span(bytes + i, 1))) {
          lock.unlock();
          modem_->NotifyReceived(peer);
          lock.lock();
        }
        written = i + 1;
      }
    }
    if (written > 0) modem_->AddEvents(end_, EV_TXEMPTY);
    lock.unlock();
    if (notify) modem_->NotifyReceived(peer);
    return true;
  }

  bool PurgeComm(uint32_t flags) override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g)) return false;
    if (flags & ~uint32_t{0x0F}) return Fail(error::kInvalidParameter);
    if (flags & PURGE_RXCLEAR) end().input.clear();
    return true;
  }

  bool ClearCommError(uint32_t& errors, ComStat& status) override {
    std::lock_guard g(modem_->mutex_);
    errors = 0;
    status = {};
    if (!Enter(g)) return false;
    errors = end().errors;
    end().errors = 0;
    status.cbInQue = static_cast<uint32_t>(end().input.size());
    status.cbOutQue = 0;
    return true;
  }

  bool EscapeCommFunction(uint32_t function) override {
    std::lock_guard g(modem_->mutex_);
    if (!Enter(g) || Faulted(VirtualCall::EscapeCommFunction)) return false;
    ++end().line_calls;
    switch (function) {
      case SETDTR: modem_->SetDtrLocked(end_, true); return true;
      case CLRDTR: modem_->SetDtrLocked(end_, false); return true;
      case SETRTS: modem_->SetRtsLocked(end_, true); return true;
      case CLRRTS: modem_->SetRtsLocked(end_, false); return true;
      case SETXON:
      case SETXOFF: return true;
      case SETBREAK:
        end().break_on = true;
        modem_->ends_[1 - end_].errors |= CE_BREAK;
        modem_->AddEvents(1 - end_, EV_BREAK);
        return true;
      case CLRBREAK: end().break_on = false; return true;
      default: return Fail(error::kInvalidParameter);
    }
  }

  bool GetCommModemStatus(uint32_t& status) override {
    std::lock_guard g(modem_->mutex_);
    status = 0;
    if (!Enter(g)) return false;
    if (modem_->Cts(end_)) status |= MS_CTS_ON;
    if (modem_->Dsr(end_)) status |= MS_DSR_ON;
    if (modem_->Rlsd(end_)) status |= MS_RLSD_ON;
    return true;
  }

  void Close() override {
    std::lock_guard g(modem_->mutex_);
    if (closed_) return;
    ++end().calls;
    closed_ = true;
    if (end().handle == this) {
      end().handle = nullptr;
      // Closing a port drops its DTR and RTS; what it had not read is gone.
      modem_->SetDtrLocked(end_, false);
      modem_->SetRtsLocked(end_, false);
      end().input.clear();
      end().mask = 0;
      end().history = 0;
    }
    Wake();
  }

  // Under the modem's lock: a blocked wait of this handle is to return.
  void Wake() {
    if (waiting_ && !woken_) {
      woken_ = true;
      modem_->clock_.Hold();
    }
    modem_->cv_.notify_all();
  }

 private:
  VirtualNullModem::End& end() { return modem_->ends_[end_]; }
  // True (with the reason as the last error) when the handle can no longer be used.
  bool Broken() {
    uint32_t code = 0;
    if (closed_)
      code = error::kInvalidHandle;
    else if (end().vanished)
      code = end().vanished;
    else if (cancelled_)
      code = error::kOperationAborted;
    if (code) SetLastError(code);
    return code != 0;
  }
  // Counts the call and checks that the handle is usable.
  bool Enter(const std::lock_guard<std::mutex>&) {
    ++end().calls;
    if (closed_) return Fail(error::kInvalidHandle);
    if (end().vanished) return Fail(end().vanished);
    return true;
  }
  bool Faulted(VirtualCall call) {
    auto it = end().faults.find(call);
    if (it == end().faults.end() || it->second.code == 0 || it->second.times == 0) return false;
    if (it->second.times > 0) --it->second.times;
    SetLastError(it->second.code);
    return true;
  }
  static bool Fail(uint32_t code) {
    SetLastError(code);
    return false;
  }

  std::shared_ptr<VirtualNullModem> modem_;
  int end_;
  bool character_device_;
  bool closed_ = false;
  bool cancelled_ = false;
  bool waiting_ = false;
  bool woken_ = false;
  bool mask_changed_ = false;

  friend class VirtualNullModem;
};

std::shared_ptr<VirtualNullModem> VirtualNullModem::Create(Clock& clock) {
  return std::shared_ptr<VirtualNullModem>(new VirtualNullModem(clock));
}

DeviceHandle VirtualNullModem::Open(int end, bool character_device) {
  std::lock_guard g(mutex_);
  End& e = ends_.at(static_cast<size_t>(end));
  if (e.vanished) {
    SetLastError(error::kFileNotFound);
    return nullptr;
  }
  if (e.handle) {
    SetLastError(error::kAccessDenied);
    return nullptr;
  }
  auto handle = std::make_shared<VirtualHandle>(shared_from_this(), end, character_device);
  e.handle = handle.get();
  e.input.clear();
  e.errors = 0;
  e.history = 0;
  e.mask = 0;
  return handle;
}

void VirtualNullModem::SetPaced(bool paced) {
  std::lock_guard g(mutex_);
  paced_ = paced;
}

Nanos VirtualNullModem::ByteTime(int end) const {
  const Dcb& d = ends_[end].dcb;
  // Bits a character takes, in half bits: start, data, parity, stop.
  const int64_t half_bits = 2 * (1 + d.ByteSize + (d.Parity != NOPARITY ? 1 : 0)) + (d.StopBits == ONESTOPBIT ? 2 : d.StopBits == ONE5STOPBITS ? 3 : 4);
  const int64_t baud = d.BaudRate ? d.BaudRate : 9600;
  return Nanos(half_bits * 1'000'000'000 / (2 * baud));
}

void VirtualNullModem::AddEvents(int end, uint32_t events) {
  End& e = ends_[end];
  e.history |= events;
  if (e.handle && (e.history & e.mask)) e.handle->Wake();
  cv_.notify_all();
}

bool VirtualNullModem::Deliver(int end, std::span<const uint8_t> bytes) {
  End& e = ends_[end];
  if (!e.handle) {
    // Nobody has the port open: the bytes wait for a far end that reads the
    // queue directly (opening the end clears it).
    e.input.insert(e.input.end(), bytes.begin(), bytes.end());
    return static_cast<bool>(e.on_receive);
  }
  uint32_t events = 0;
  for (uint8_t b : bytes) {
    if (e.input.size() >= e.in_queue_size) {
      e.errors |= CE_RXOVER;
      events |= EV_ERR;
      continue;
    }
    e.input.push_back(b);
    events |= EV_RXCHAR;
    if (b == e.dcb.EvtChar) events |= EV_RXFLAG;
  }
  AddEvents(end, events);
  return static_cast<bool>(e.on_receive);
}

void VirtualNullModem::NotifyReceived(int end) {
  std::function<void()> hook;
  {
    std::lock_guard g(mutex_);
    hook = ends_[end].on_receive;
  }
  if (hook) hook();
}

void VirtualNullModem::SetDtrLocked(int end, bool on) {
  if (ends_[end].dtr == on) return;
  ends_[end].dtr = on;
  const int peer = 1 - end;
  AddEvents(peer, EV_DSR | (ends_[peer].carrier ? 0 : EV_RLSD));
}

void VirtualNullModem::SetRtsLocked(int end, bool on) {
  if (ends_[end].rts == on) return;
  ends_[end].rts = on;
  AddEvents(1 - end, EV_CTS);
}

void VirtualNullModem::Inject(int end, std::span<const uint8_t> bytes) {
  bool notify;
  {
    std::lock_guard g(mutex_);
    notify = Deliver(end, bytes);
  }
  if (notify) NotifyReceived(end);
}

std::vector<uint8_t> VirtualNullModem::Take(int end) {
  std::lock_guard g(mutex_);
  auto& in = ends_[end].input;
  std::vector<uint8_t> out(in.begin(), in.end());
  in.clear();
  return out;
}

size_t VirtualNullModem::Waiting(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].input.size();
}

void VirtualNullModem::SetOnReceive(int end, std::function<void()> on_receive) {
  std::lock_guard g(mutex_);
  ends_[end].on_receive = std::move(on_receive);
}

void VirtualNullModem::SetLines(int end, bool dtr, bool rts) {
  std::lock_guard g(mutex_);
  SetDtrLocked(end, dtr);
  SetRtsLocked(end, rts);
}

void VirtualNullModem::SetCarrier(int end, std::optional<bool> carrier) {
  std::lock_guard g(mutex_);
  const bool before = Rlsd(end);
  ends_[end].carrier = carrier;
  if (Rlsd(end) != before) AddEvents(end, EV_RLSD);
}

bool VirtualNullModem::Dtr(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].dtr;
}
bool VirtualNullModem::Rts(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].rts;
}
Dcb VirtualNullModem::State(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].dcb;
}
CommTimeouts VirtualNullModem::Timeouts(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].timeouts;
}
uint32_t VirtualNullModem::Mask(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].mask;
}

void VirtualNullModem::SetFault(int end, VirtualCall call, uint32_t code, int times) {
  std::lock_guard g(mutex_);
  ends_[end].faults[call] = Fault{code, code ? times : 0};
}

void VirtualNullModem::Vanish(int end, uint32_t code) {
  std::lock_guard g(mutex_);
  ends_[end].vanished = code ? code : kDeviceGoneError;
  if (ends_[end].handle) ends_[end].handle->Wake();
  cv_.notify_all();
}

uint64_t VirtualNullModem::Calls(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].calls;
}

uint64_t VirtualNullModem::LineCalls(int end) const {
  std::lock_guard g(mutex_);
  return ends_[end].line_calls;
}

void VirtualPortOpener::Add(const std::string& name, std::shared_ptr<VirtualNullModem> modem, int end) {
  entries_[name] = Entry{std::move(modem), end};
}

void VirtualPortOpener::FailOpen(const std::string& name, uint32_t code, OpenRefusal refusal) {
  entries_[name].fail = code;
  entries_[name].refusal = std::move(refusal);
}

void VirtualPortOpener::NotCharacterDevice(const std::string& name) { entries_[name].not_char = true; }

DeviceHandle VirtualPortOpener::Open(const std::string& name, OpenRefusal& refusal) {
  opened_.push_back(name);
  auto it = entries_.find(name);
  if (it == entries_.end()) {
    if (fallback_) return fallback_->Open(name, refusal);
    SetLastError(error::kFileNotFound);
    return nullptr;
  }
  if (it->second.fail) {
    refusal = it->second.refusal;
    SetLastError(it->second.fail);
    return nullptr;
  }
  if (!it->second.modem) {
    SetLastError(error::kFileNotFound);
    return nullptr;
  }
  return it->second.modem->Open(it->second.end, !it->second.not_char);
}

}  // namespace odu::platform
