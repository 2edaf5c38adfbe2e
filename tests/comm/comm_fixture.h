// A port on one end of a virtual null-modem, with the headless toolkit on a
// virtual clock; the test plays the far end.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/thread_comm.h"
#include "platform/serial/serial_virtual.h"
#include "platform/toolkit/toolkit_headless.h"

namespace odu::testing {

using namespace odu::platform;

// Opens through another opener and writes down, in order, every call made on
// the devices it gave out, as text ("SetupComm(4096,4096)"), from whichever
// thread, except the event thread's waits.
class RecordingOpener : public SerialOpener {
 public:
  explicit RecordingOpener(SerialOpener& inner) : inner_(inner) {}

  using SerialOpener::Open;
  DeviceHandle Open(const std::string& name, OpenRefusal& refusal) override {
    Log("Open(" + name + ")");
    return Wrap(inner_.Open(name, refusal));
  }
  // A device whose calls are written down too.
  DeviceHandle Wrap(DeviceHandle device) {
    return device ? std::make_shared<Device>(std::move(device), *this) : nullptr;
  }
  // Called with each call as it is written down, before it is made: a test
  // may fail the call by throwing.
  std::function<void(const std::string& call)> before_call;
  // The calls so far; the record starts again empty.
  std::vector<std::string> Take() {
    std::lock_guard g(mutex_);
    return std::exchange(calls_, {});
  }

 private:
  class Device : public SerialDevice {
   public:
    Device(DeviceHandle inner, RecordingOpener& log) : inner_(std::move(inner)), log_(log) {}
    bool IsCharacterDevice() override { return log_.Log("IsCharacterDevice"), inner_->IsCharacterDevice(); }
    bool SetupComm(uint32_t in, uint32_t out) override {
      log_.Log("SetupComm(" + std::to_string(in) + "," + std::to_string(out) + ")");
      return inner_->SetupComm(in, out);
    }
    bool GetCommState(Dcb& dcb) override { return log_.Log("GetCommState"), inner_->GetCommState(dcb); }
    bool SetCommState(const Dcb& dcb) override { return log_.Log("SetCommState"), inner_->SetCommState(dcb); }
    bool SetCommTimeouts(const CommTimeouts& t) override {
      log_.Log("SetCommTimeouts(" + std::to_string(t.ReadIntervalTimeout) + "," + std::to_string(t.ReadTotalTimeoutMultiplier) +
               "," + std::to_string(t.ReadTotalTimeoutConstant) + "," + std::to_string(t.WriteTotalTimeoutMultiplier) + "," +
               std::to_string(t.WriteTotalTimeoutConstant) + ")");
      return inner_->SetCommTimeouts(t);
    }
    bool SetCommMask(uint32_t mask) override { return log_.Log("SetCommMask(" + Hex(mask) + ")"), inner_->SetCommMask(mask); }
    bool WaitCommEvent(uint32_t& events) override { return inner_->WaitCommEvent(events); }
    void CancelWait() override {
      log_.Log("CancelWait");
      inner_->CancelWait();
    }
    bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override {
      log_.Log("ReadFile(" + std::to_string(count) + ")");
      return inner_->ReadFile(buffer, count, read);
    }
    bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override {
      log_.Log("WriteFile(" + std::to_string(count) + ")");
      return inner_->WriteFile(buffer, count, written);
    }
    bool PurgeComm(uint32_t flags) override { return log_.Log("PurgeComm(" + Hex(flags) + ")"), inner_->PurgeComm(flags); }
    bool ClearCommError(uint32_t& errors, ComStat& status) override {
      return log_.Log("ClearCommError"), inner_->ClearCommError(errors, status);
    }
    bool EscapeCommFunction(uint32_t function) override {
      return log_.Log("EscapeCommFunction(" + std::to_string(function) + ")"), inner_->EscapeCommFunction(function);
    }
    bool GetCommModemStatus(uint32_t& status) override { return log_.Log("GetCommModemStatus"), inner_->GetCommModemStatus(status); }
    void Close() override {
      log_.Log("Close");
      inner_->Close();
    }

   private:
    static std::string Hex(uint32_t value) {
      char text[16];
      std::snprintf(text, sizeof text, "0x%02x", value);
      return text;
    }
    DeviceHandle inner_;
    RecordingOpener& log_;
  };

  void Log(const std::string& call) {
    {
      std::lock_guard g(mutex_);
      calls_.push_back(call);
    }
    if (before_call) before_call(call);
  }

  SerialOpener& inner_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

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
  RecordingOpener recorder{opener};  // for a port that is to write its device calls down
  TComponent root{nullptr};
  TThreadComm* port = nullptr;  // owned by root
};

}  // namespace odu::testing
