// A device that passes every call through, reports each write and each
// reply as a line ("TX 5A 0A ..." / "RX 5A 08 ..."), and notes when the
// port's hardware has gone (an adapter pulled out), so that the command line
// can say so.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "platform/serial/serial_device.h"

namespace odu {

enum class Traffic { kSent, kReceived };
// Called with the port's name, which way the frame went and the line.
using TraceSink = std::function<void(const std::string& port, Traffic traffic, const std::string& line)>;

// Opens through `inner` and wraps what it opens. Reads are gathered into
// the station's frames (a 0x5A, then the frame's length in bytes): one RX
// line per frame, however the bytes arrived; bytes outside a frame, and a
// frame still incomplete when the next write goes out or the port closes,
// get an RX line of their own marked as such. With an empty sink nothing is
// reported, only the hardware's going noted.
class TracingOpener : public platform::SerialOpener {
 public:
  TracingOpener(platform::SerialOpener& inner, TraceSink sink) : inner_(inner), sink_(std::move(sink)) {}
  using platform::SerialOpener::Open;
  platform::DeviceHandle Open(const std::string& name, platform::OpenRefusal& refusal) override;
  // A call on a device opened here failed because its hardware had gone.
  bool gone() const { return gone_.load(); }

 private:
  platform::SerialOpener& inner_;
  TraceSink sink_;
  std::atomic<bool> gone_{false};
};

// "TX" or "RX", then the bytes as two-digit uppercase hexadecimal.
std::string TraceLine(const char* direction, const uint8_t* bytes, size_t n);

}  // namespace odu
