// Where a port name leads: the network schemes to the network backend, every
// other name to the devices of this machine.
#include "platform/serial/network/network_port_name.h"
#include "platform/serial/network/serial_network.h"
#include "platform/serial/serial_device.h"

namespace odu::platform {

namespace {
class SystemOpener final : public SerialOpener {
 public:
  using SerialOpener::Open;
  DeviceHandle Open(const std::string& name, OpenRefusal& refusal) override {
    if (IsNetworkPortName(name)) return network_.Open(name, refusal);
    return LocalSerialOpener().Open(name, refusal);
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
