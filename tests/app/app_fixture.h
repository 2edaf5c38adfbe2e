// The upgrade window on the headless toolkit and a virtual clock, with
// virtual ports whose far ends the test scripts.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/main_panel.h"
#include "protocol/station_frame.h"
#include "platform/serial/serial_virtual.h"
#include "platform/toolkit/toolkit_headless.h"
#include "tests/support/station_frames.h"

namespace odu::testing {

using namespace odu::platform;
using Bytes = std::vector<uint8_t>;

// A frame with its checksum appended: 0x5A, the length, then `body`.
inline Bytes Frame(std::initializer_list<int> body) {
  Bytes bytes;
  for (int b : body) bytes.push_back(static_cast<uint8_t>(b));
  return StationFrame(bytes);
}
inline const Bytes kAck = Frame({0x00, 0x00, 0xE5});
inline const Bytes kUpgradeAccepted = Frame({0x00, 0x00, 0xA2, 0x0C});

// The far end of one virtual port: collects the frames the tool sends and
// lets the test answer them.
class FarEnd {
 public:
  FarEnd(VirtualClock& clock, std::shared_ptr<VirtualNullModem> modem) : clock_(clock), modem_(std::move(modem)) {
    modem_->SetOnReceive(1, [this] { Received(); });
  }
  // Carrier, DSR and CTS as the tool sees them.
  void Lines(bool on) { modem_->SetLines(1, on, on); }
  // Puts `bytes` on the line towards the tool after `delay`.
  void Send(Bytes bytes, Nanos delay = Millis(2)) {
    clock_.Schedule(clock_.Now() + delay, [m = modem_, b = std::move(bytes)] { m->Inject(0, b); });
  }

  // Called with each whole frame the tool sent; the frames are kept too.
  std::function<void(FarEnd& self, const Bytes& frame)> on_frame;
  std::vector<Bytes> frames;
  std::vector<Nanos> frame_times;
  VirtualNullModem& modem() { return *modem_; }

 private:
  void Received() {
    Bytes in = modem_->Take(1);
    buffer_.insert(buffer_.end(), in.begin(), in.end());
    for (;;) {
      while (!buffer_.empty() && buffer_[0] != 0x5A) buffer_.erase(buffer_.begin());
      if (buffer_.size() < 2 || buffer_.size() < buffer_[1]) return;
      Bytes frame(buffer_.begin(), buffer_.begin() + buffer_[1]);
      buffer_.erase(buffer_.begin(), buffer_.begin() + buffer_[1]);
      frames.push_back(frame);
      frame_times.push_back(clock_.Now());
      if (on_frame) on_frame(*this, frame);
    }
  }
  VirtualClock& clock_;
  std::shared_ptr<VirtualNullModem> modem_;
  Bytes buffer_;
};

// Opens through `inner` and notes, in order, the device calls that the
// window's thread makes on what it opened: opens, line state, DTR and RTS,
// modem status, purges, writes (with their bytes), reads and closes. The
// event thread's waits and the queue status the port asks for around every
// read are left out.
class RecordingOpener : public SerialOpener {
 public:
  explicit RecordingOpener(SerialOpener& inner) : inner_(inner) {}
  using SerialOpener::Open;
  DeviceHandle Open(const std::string& name, OpenRefusal& refusal) override {
    DeviceHandle device = inner_.Open(name, refusal);
    if (!device) {
      Note("open " + name + " failed");
      return nullptr;
    }
    Note("open " + name);
    return std::make_shared<Device>(*this, std::move(device));
  }
  std::vector<std::string> calls;

 private:
  void Note(std::string call) {
    if (std::this_thread::get_id() == window_thread_) calls.push_back(std::move(call));
  }
  class Device final : public SerialDevice {
   public:
    Device(RecordingOpener& log, DeviceHandle inner) : log_(log), inner_(std::move(inner)) {}
    bool IsCharacterDevice() override { return inner_->IsCharacterDevice(); }
    bool SetupComm(uint32_t in, uint32_t out) override { return inner_->SetupComm(in, out); }
    bool GetCommState(Dcb& dcb) override { return inner_->GetCommState(dcb); }
    bool SetCommState(const Dcb& d) override {
      std::string line = "line " + std::to_string(d.BaudRate) + " " + std::to_string(d.ByteSize) +
                         (d.Parity < 5 ? std::string(1, "NOEMS"[d.Parity]) : "?") +
                         (d.StopBits == 0 ? "1" : d.StopBits == 1 ? "1.5" : "2");
      if (d.fOutxCtsFlow) line += " cts";
      if (d.fOutxDsrFlow) line += " dsr";
      if (d.fOutX) line += " xoff-out";
      if (d.fInX) line += " xoff-in";
      log_.Note(line);
      return inner_->SetCommState(d);
    }
    bool SetCommTimeouts(const CommTimeouts& t) override { return inner_->SetCommTimeouts(t); }
    bool SetCommMask(uint32_t mask) override { return inner_->SetCommMask(mask); }
    bool WaitCommEvent(uint32_t& events) override { return inner_->WaitCommEvent(events); }
    void CancelWait() override { inner_->CancelWait(); }
    bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override {
      log_.Note("read " + std::to_string(count));
      return inner_->ReadFile(buffer, count, read);
    }
    bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override {
      std::string line = "write";
      for (uint32_t i = 0; i < count; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", static_cast<const uint8_t*>(buffer)[i]);
        line += hex;
      }
      log_.Note(line);
      return inner_->WriteFile(buffer, count, written);
    }
    bool PurgeComm(uint32_t flags) override {
      log_.Note(flags == (PURGE_RXABORT | PURGE_RXCLEAR) ? "purge input" : "purge " + std::to_string(flags));
      return inner_->PurgeComm(flags);
    }
    bool ClearCommError(uint32_t& errors, ComStat& status) override { return inner_->ClearCommError(errors, status); }
    bool EscapeCommFunction(uint32_t f) override {
      log_.Note(f == SETDTR ? "raise DTR" : f == SETRTS ? "raise RTS" : f == CLRDTR ? "drop DTR" : f == CLRRTS ? "drop RTS"
                                                                                  : "escape " + std::to_string(f));
      return inner_->EscapeCommFunction(f);
    }
    bool GetCommModemStatus(uint32_t& status) override {
      log_.Note("modem status");
      return inner_->GetCommModemStatus(status);
    }
    void Close() override {
      log_.Note("close");
      inner_->Close();
    }

   private:
    RecordingOpener& log_;
    DeviceHandle inner_;
  };
  SerialOpener& inner_;
  const std::thread::id window_thread_ = std::this_thread::get_id();
};

class AppFixture : public ::testing::Test {
 protected:
  AppFixture() {
    panel = new TMainPanel(&root);
    panel->Port->SetOpener(&opener);
    panel->ListPorts = [this](std::vector<std::string>& list) { list.insert(list.end(), names.begin(), names.end()); };
  }

  FarEnd& AddPort(const std::string& name, bool carrier = true) {
    auto modem = VirtualNullModem::Create(clock);
    opener.Add(name, modem, 0);
    names.push_back(name);
    auto& end = ends[name] = std::make_unique<FarEnd>(clock, modem);
    end->Lines(carrier);
    return *end;
  }
  // A far end that answers the initialisation frame as a station accepting
  // the upgrade, and every bootloader record with an acknowledgement.
  FarEnd& AddStation(const std::string& name) {
    FarEnd& end = AddPort(name);
    end.on_frame = [](FarEnd& self, const Bytes& frame) { self.Send(frame[3] == 0xF3 ? kUpgradeAccepted : kAck); };
    return end;
  }

  // Forgets every port, for the next row of a table.
  void ResetPorts() {
    names.clear();
    ends.clear();
    opener = VirtualPortOpener();
  }
  // Ends a run that a test has seen start, as if it had never begun.
  void AbandonRun() {
    panel->Port->Close();
    panel->Step = 0;
    panel->Delay->SetEnabled(false);
    panel->Button1->SetEnabled(true);
  }

  void ClickStart() { panel->Button1->Click(); }
  // Runs the loop until Start is enabled again (the run or scan ended).
  bool RunUntilIdle(Nanos limit = Millis(3'600'000)) {
    return toolkit.RunUntil([this] { return panel->Button1->Enabled() && panel->Step == 0; }, clock.Now() + limit);
  }
  size_t Frames(const std::string& name) { return ends.at(name)->frames.size(); }
  std::vector<std::pair<std::string, std::string>> Boxes() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& b : toolkit.boxes()) out.emplace_back(b.text, b.caption);
    return out;
  }

  VirtualClock clock;
  HeadlessToolkit toolkit{clock};
  std::map<std::string, std::unique_ptr<FarEnd>> ends;
  VirtualPortOpener opener;
  RecordingOpener recorder{opener};  // in use once a test sets it as the port's opener
  std::vector<std::string> names;
  TComponent root{nullptr};
  TMainPanel* panel = nullptr;  // owned by root
};

}  // namespace odu::testing
