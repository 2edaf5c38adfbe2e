// Placeholder: the Win32 serial device is being written.
#include "platform/last_error.h"
#include "platform/serial/serial_device.h"

namespace odu::platform {
namespace {
class Win32SerialOpener final : public SerialOpener {
 public:
  DeviceHandle Open(const std::string&) override {
    SetLastError(error::kFileNotFound);
    return nullptr;
  }
};
}  // namespace

SerialOpener& SystemSerialOpener() {
  static Win32SerialOpener opener;
  return opener;
}
}  // namespace odu::platform
