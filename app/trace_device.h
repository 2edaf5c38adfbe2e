// A device that passes every call through and reports each write and each
// read that returned bytes as a line: "TX 5A 0A ..." / "RX 5A 08 ...".
#pragma once

#include <functional>
#include <string>

#include "platform/serial/serial_device.h"

namespace odu {

using TraceSink = std::function<void(const std::string& line)>;

// Opens through `inner` and wraps what it opens.
class TracingOpener : public platform::SerialOpener {
 public:
  TracingOpener(platform::SerialOpener& inner, TraceSink sink) : inner_(inner), sink_(std::move(sink)) {}
  platform::DeviceHandle Open(const std::string& name) override;

 private:
  platform::SerialOpener& inner_;
  TraceSink sink_;
};

// "TX" or "RX", then the bytes as two-digit uppercase hexadecimal.
std::string TraceLine(const char* direction, const uint8_t* bytes, size_t n);

}  // namespace odu
