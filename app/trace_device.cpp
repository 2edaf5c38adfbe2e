#include "app/trace_device.h"

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

class TracingDevice final : public SerialDevice {
 public:
  TracingDevice(DeviceHandle inner, const TraceSink& sink) : inner_(std::move(inner)), sink_(sink) {}

  bool IsCharacterDevice() override { return inner_->IsCharacterDevice(); }
  bool SetupComm(uint32_t in, uint32_t out) override { return inner_->SetupComm(in, out); }
  bool GetCommState(Dcb& dcb) override { return inner_->GetCommState(dcb); }
  bool SetCommState(const Dcb& dcb) override { return inner_->SetCommState(dcb); }
  bool SetCommTimeouts(const CommTimeouts& t) override { return inner_->SetCommTimeouts(t); }
  bool SetCommMask(uint32_t mask) override { return inner_->SetCommMask(mask); }
  bool WaitCommEvent(uint32_t& events) override { return inner_->WaitCommEvent(events); }
  void CancelWait() override { inner_->CancelWait(); }
  bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override {
    const bool ok = inner_->ReadFile(buffer, count, read);
    if (read > 0) sink_(TraceLine("RX", static_cast<const uint8_t*>(buffer), read));
    return ok;
  }
  bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override {
    sink_(TraceLine("TX", static_cast<const uint8_t*>(buffer), count));
    return inner_->WriteFile(buffer, count, written);
  }
  bool PurgeComm(uint32_t flags) override { return inner_->PurgeComm(flags); }
  bool ClearCommError(uint32_t& errors, ComStat& status) override { return inner_->ClearCommError(errors, status); }
  bool EscapeCommFunction(uint32_t function) override { return inner_->EscapeCommFunction(function); }
  bool GetCommModemStatus(uint32_t& status) override { return inner_->GetCommModemStatus(status); }
  void Close() override { inner_->Close(); }

 private:
  DeviceHandle inner_;
  TraceSink sink_;
};

}  // namespace

DeviceHandle TracingOpener::Open(const std::string& name) {
  DeviceHandle device = inner_.Open(name);
  if (!device) return nullptr;
  return std::make_shared<TracingDevice>(std::move(device), sink_);
}

}  // namespace odu
