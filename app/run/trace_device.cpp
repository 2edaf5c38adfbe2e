#include "app/run/trace_device.h"

#include <mutex>
#include <vector>

namespace odu {

using namespace odu::platform;

std::string TraceLine(const char* direction, const uint8_t* bytes, size_t n) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line = direction;
  line.reserve(2 + 3 * n);
  for (size_t i = 0; i < n; ++i) {
    line += ' ';
    line += kHex[bytes[i] >> 4];
    line += kHex[bytes[i] & 0x0F];
  }
  return line;
}

namespace {

constexpr uint8_t kFrameStart = 0x5A;

class TracingDevice final : public SerialDevice {
 public:
  TracingDevice(DeviceHandle inner, std::string name, const TraceSink& sink, std::atomic<bool>& gone)
      : inner_(std::move(inner)), name_(std::move(name)), sink_(sink), gone_(gone) {}

  bool IsCharacterDevice() override { return inner_->IsCharacterDevice(); }
  bool SetupComm(uint32_t in, uint32_t out) override { return Noted(inner_->SetupComm(in, out)); }
  bool GetCommState(Dcb& dcb) override { return Noted(inner_->GetCommState(dcb)); }
  bool SetCommState(const Dcb& dcb) override { return Noted(inner_->SetCommState(dcb)); }
  bool SetCommTimeouts(const CommTimeouts& t) override { return Noted(inner_->SetCommTimeouts(t)); }
  bool SetCommMask(uint32_t mask) override { return Noted(inner_->SetCommMask(mask)); }
  bool WaitCommEvent(uint32_t& events) override { return Noted(inner_->WaitCommEvent(events)); }
  void CancelWait() override { inner_->CancelWait(); }
  bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override {
    const bool ok = Noted(inner_->ReadFile(buffer, count, read));
    if (read > 0 && sink_) Received(static_cast<const uint8_t*>(buffer), read);
    return ok;
  }
  bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override {
    if (sink_) {
      Flush(" (incomplete)");
      sink_(name_, Traffic::kSent, TraceLine("TX", static_cast<const uint8_t*>(buffer), count));
    }
    return Noted(inner_->WriteFile(buffer, count, written));
  }
  bool PurgeComm(uint32_t flags) override { return Noted(inner_->PurgeComm(flags)); }
  bool ClearCommError(uint32_t& errors, ComStat& status) override {
    return Noted(inner_->ClearCommError(errors, status));
  }
  bool EscapeCommFunction(uint32_t function) override { return Noted(inner_->EscapeCommFunction(function)); }
  bool GetCommModemStatus(uint32_t& status) override { return Noted(inner_->GetCommModemStatus(status)); }
  bool HasModemLines() override { return inner_->HasModemLines(); }
  void Close() override {
    if (sink_) Flush(" (incomplete)");
    inner_->Close();
  }

 private:
  // The error is the calling thread's, so it is read here at once.
  bool Noted(bool ok) {
    if (!ok && GetLastError() == kDeviceGoneError) gone_.store(true);
    return ok;
  }

  // Guarded for any thread that reads.
  void Received(const uint8_t* bytes, uint32_t n) {
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t byte = bytes[i];
      if (rx_.empty() || (rx_[0] != kFrameStart && byte == kFrameStart)) {
        if (!rx_.empty()) FlushLocked(" (outside a frame)");
      }
      rx_.push_back(byte);
      // A length below six bytes is none (the window skips it too).
      if (rx_[0] == kFrameStart && rx_.size() == 2 && static_cast<int8_t>(rx_[1]) < 6) FlushLocked(" (bad length)");
      else if (rx_[0] == kFrameStart && rx_.size() >= 2 && rx_.size() >= rx_[1]) FlushLocked("");
      else if (rx_.size() >= 256) FlushLocked(rx_[0] == kFrameStart ? " (incomplete)" : " (outside a frame)");
    }
  }
  void Flush(const char* note) {
    std::lock_guard lock(mutex_);
    FlushLocked(rx_.empty() || rx_[0] == kFrameStart ? note : " (outside a frame)");
  }
  void FlushLocked(const char* note) {
    if (rx_.empty()) return;
    sink_(name_, Traffic::kReceived, TraceLine("RX", rx_.data(), rx_.size()) + note);
    rx_.clear();
  }

  DeviceHandle inner_;
  std::string name_;
  const TraceSink& sink_;
  std::atomic<bool>& gone_;
  std::mutex mutex_;
  std::vector<uint8_t> rx_;
};

}  // namespace

DeviceHandle TracingOpener::Open(const std::string& name, OpenRefusal& refusal) {
  gone_.store(false);  // of this port, not of one tried before
  DeviceHandle device = inner_.Open(name, refusal);
  if (!device) return nullptr;
  return std::make_shared<TracingDevice>(std::move(device), name, sink_, gone_);
}

}  // namespace odu
