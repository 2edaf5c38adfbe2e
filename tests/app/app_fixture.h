// The upgrade window on the headless toolkit and a virtual clock, with
// virtual ports whose far ends the test scripts.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/main_panel.h"
#include "app/station_frame.h"
#include "platform/serial/serial_virtual.h"
#include "platform/toolkit/toolkit_headless.h"

namespace odu::testing {

using namespace odu::platform;
using Bytes = std::vector<uint8_t>;

// A frame with its checksum appended: 0x5A, the length, then `body`.
inline Bytes Frame(std::initializer_list<int> body) {
  Bytes f{0x5A, static_cast<uint8_t>(body.size() + 4)};
  for (int b : body) f.push_back(static_cast<uint8_t>(b));
  const uint16_t sum = FrameChecksum(f.data(), f.size());
  f.push_back(static_cast<uint8_t>(sum >> 8));
  f.push_back(static_cast<uint8_t>(sum & 0xFF));
  return f;
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
  std::vector<std::string> names;
  TComponent root{nullptr};
  TMainPanel* panel = nullptr;  // owned by root
};

}  // namespace odu::testing
