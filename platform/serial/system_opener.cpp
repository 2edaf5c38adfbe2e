// Where a port name leads: the network schemes to the network backend, every
// other name to the devices of this machine.
#include "platform/serial/network/network_port_name.h"
#include "platform/serial/network/serial_network.h"
#include "platform/serial/serial_device.h"

namespace odu::platform {

namespace {
class SystemOpener final : public SerialOpener {
 public:
  DeviceHandle Open(const std::string& name) override {
    if (IsNetworkPortName(name)) return network_.Open(name);
    return LocalSerialOpener().Open(name);
  }

 private:
  NetworkSerialOpener network_;
};
}  // namespace

SerialOpener& SystemSerialOpener() {
  static SystemOpener opener;
  return opener;
}

}  // namespace odu::platform
