// A port on one end of a virtual null-modem, with the headless toolkit on a
// virtual clock; the test plays the far end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/thread_comm.h"
#include "platform/serial/serial_virtual.h"
#include "platform/toolkit/toolkit_headless.h"

namespace odu::testing {

using namespace odu::platform;

class CommFixture : public ::testing::Test {
 protected:
  CommFixture() {
    opener.Add("COM1", modem, 0);
    port = new TThreadComm(&root);
    port->SetOpener(&opener);
  }

  // Configures the port as the upgrade window does.
  void ConfigureAsWindow() {
    port->SetPortName("COM1");
    port->SetBaudRate(8);
    port->SetDataBits(4);
    port->SetStopBits(0);
    port->SetParity(0);
    port->SetFlowControl(1);
  }

  // Until the port's event thread is blocked in its wait (it then holds no
  // virtual time), so that counting device calls sees only the test's own.
  void UntilEventThreadWaits() const {
    while (clock.Holds() > 0) std::this_thread::yield();
  }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& b : toolkit.boxes()) texts.push_back(b.text);
    return texts;
  }

  static std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
  }

  VirtualClock clock;
  HeadlessToolkit toolkit{clock};
  std::shared_ptr<VirtualNullModem> modem = VirtualNullModem::Create(clock);
  VirtualPortOpener opener;
  TComponent root{nullptr};
  TThreadComm* port = nullptr;  // owned by root
};

}  // namespace odu::testing
