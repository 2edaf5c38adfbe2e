// Fuzz target: the assembly of the bootloader's replies during programming,
// fed arbitrary bytes in arbitrary receive notifications.
//
// The upgrade window runs on the headless toolkit and a virtual clock, its
// port opened on one end of a virtual null-modem whose far end has its lines
// up and swallows whatever the window sends. Each input starts a programming
// step as the window's Start does once the station accepted (the step's
// record is sent, its timeout armed), then delivers bytes:
//
//   byte 0  step 1..5 (low bits), retries already used 0..3 (bits 4-5)
//   byte 1-2  for step 2: which of the image's data blocks is sent first
//             (blank blocks are passed over by the sequence, and a scan over
//             many of them only slows the fuzzer down)
//   then chunks, each a control byte c and its bytes:
//     c & 0x3F  how many bytes arrive (0..63, fewer where the input ends)
//     c & 0x40  first a gap byte g: virtual time passes on the window's loop
//               (g < 128: g ms; otherwise entry g - 128 of a table of
//               lengths around the 150 ms reply assembly timer and the 1 s
//               and 10 s timeouts),
//               so that the timers may fire before the bytes arrive
//     c & 0x80  a count byte k: the notification reports only part of what
//               is waiting (as when it was raised before the rest arrived)
//
// The notification is called directly with the count the device reports
// (or the part of it the input asks for); the port's event thread watches no
// events. Deliveries by that thread would depend on when it ran, so the same
// input could take another path; direct calls keep every run reproducible,
// and much faster. A run that ended (done or failed) leaves the port closed;
// the next input opens it again.
//
// After every delivery and every gap the run's state must be one the
// programming sequence can be in: an assembly buffer of at most 127 bytes,
// a length byte of 6..127 or none yet, a step of 0..5 with the port closed
// exactly at step 0, a reply code of "", "X", "." or a status byte in
// decimal, the status "OK" between events, a block-aligned address inside
// the image, and no message box but the two that end a failed run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/main_panel.h"
#include "platform/serial/serial_virtual.h"
#include "platform/toolkit/toolkit_headless.h"
#include "tests/support/fuzz_require.h"

namespace {

using namespace odu::platform;

void Require(bool condition, const char* what) { odu::testing::RequireOf("frame assembly", condition, what); }

// A harness is rebuilt after this many inputs, which bounds the recorded
// message boxes and the virtual time.
constexpr int kInputsPerHarness = 1000;
constexpr size_t kMaxChunks = 512;
constexpr int64_t kLongGapsMs[] = {149, 150, 151, 999, 1000, 1001, 9999, 10000, 10001, 300, 2000, 20000};

struct Harness {
  Harness() {
    panel = new odu::TMainPanel(&root);
    opener.Add("SIM", modem, 0);
    modem->SetLines(1, true, true);  // carrier, DSR and CTS at the window's end
    panel->Port->SetOpener(&opener);
    panel->Port->SetPortName("SIM");
    panel->Port->MonitorEvents = 0;
    panel->UnpackImage();
    toolkit.answer = nullptr;  // boxes close at once
    for (int32_t address = 0; address < 0x10000; address += 16) {
      for (int i = 0; i < 16; ++i) {
        if (panel->Image[address + i] != 0xFF) {
          data_blocks.push_back(address);
          break;
        }
      }
    }
    Require(!data_blocks.empty(), "the embedded image holds no data");
  }

  VirtualClock clock;
  HeadlessToolkit toolkit{clock};
  std::shared_ptr<VirtualNullModem> modem = VirtualNullModem::Create(clock);
  VirtualPortOpener opener;
  TComponent root{nullptr};
  odu::TMainPanel* panel = nullptr;  // owned by root
  std::vector<int32_t> data_blocks;  // addresses of the image's non-blank blocks
  int inputs = 0;
  size_t boxes_checked = 0;
};

bool IsReplyCode(const std::string& code) {
  if (code.empty() || code == "X" || code == ".") return true;
  if (code.size() > 3) return false;
  for (char c : code) {
    if (c < '0' || c > '9') return false;
  }
  if (code.size() > 1 && code[0] == '0') return false;
  return std::stoi(code) <= 255;
}

void CheckState(Harness& h) {
  const odu::TMainPanel& p = *h.panel;
  Require(p.RxCount <= 127 && p.RxCount < sizeof p.RxFrame, "assembly buffer count out of range");
  Require(p.RxLength == 0 || (p.RxLength >= 6 && p.RxLength <= 127), "impossible frame length accepted");
  Require(p.Step >= 0 && p.Step <= 5, "step out of range");
  Require((p.Step == 0) == !p.Port->Connected(), "the port is open without a run, or closed during one");
  Require(IsReplyCode(p.ReplyCode), "reply code is none of \"\", \"X\", \".\" or a status byte");
  Require(p.Status == "OK", "a failure was left pending");
  Require(p.Address >= 0 && p.Address <= 0x10000 && p.Address % 16 == 0, "address off the image's blocks");
  Require(p.Retries <= 4, "more retries than allowed");
  Require(p.LateReplies <= 3, "more replies owed than sends timed out");
  Require(!p.Settling || (p.LateReplies > 0 && p.Delay->Enabled()), "waiting for owed replies without a bound");
  for (; h.boxes_checked < h.toolkit.boxes().size(); ++h.boxes_checked) {
    const HeadlessToolkit::Box& box = h.toolkit.boxes()[h.boxes_checked];
    Require(box.caption == "Upgrade error." && (box.text == "Communication error." || box.text == "Command timeout."),
            "an unexpected message box");
  }
}

// Starts the step the input asks for, as the window does after a handshake.
void StartStep(Harness& h, const uint8_t* data, size_t size) {
  odu::TMainPanel& p = *h.panel;
  const uint8_t head = size > 0 ? data[0] : 0;
  const size_t block = size > 2 ? (size_t{data[1]} << 8 | data[2]) % h.data_blocks.size() : 0;
  if (!p.Port->Connected()) p.Port->Open();
  Require(p.Port->Connected(), "the virtual port did not open");
  p.Port->PurgeInput();
  h.modem->Take(1);
  p.Paket->SetEnabled(false);
  p.Delay->SetEnabled(false);
  p.RxCount = 0;
  p.RxLength = 0;
  p.ReplyCode.clear();
  p.Status = "OK";
  p.Step = static_cast<int32_t>(head % 5u) + 1;
  p.Retries = (head >> 4) & 3u;
  p.LateReplies = 0;
  p.Settling = false;
  p.Address = p.Step == 2 ? h.data_blocks[block] : 0;
  p.SendPending = true;
  p.DoStep();
}

uint32_t Waiting(const Harness& h) {
  if (!h.panel->Port->Connected()) return 0;
  uint32_t errors = 0;
  ComStat status;
  if (!h.panel->Port->Device()->ClearCommError(errors, status)) return 0;
  return status.cbInQue;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<Harness> harness;
  if (!harness || harness->inputs >= kInputsPerHarness) {
    harness.reset();  // the old toolkit goes before the new one becomes current
    harness = std::make_unique<Harness>();
  }
  Harness& h = *harness;
  ++h.inputs;

  StartStep(h, data, size);
  CheckState(h);

  size_t pos = size < 3 ? size : 3;
  auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
  for (size_t chunk = 0; chunk < kMaxChunks && pos < size; ++chunk) {
    const uint8_t control = next();
    if (control & 0x40) {
      const uint8_t gap = next();
      const int64_t ms = gap < 128 ? gap : kLongGapsMs[(gap - 128u) % std::size(kLongGapsMs)];
      h.toolkit.RunFor(Millis(ms));
      CheckState(h);
    }
    const uint8_t cut = (control & 0x80) ? next() : 0;
    const size_t length = std::min<size_t>(control & 0x3Fu, size - pos);
    if (h.panel->Port->Connected()) {
      h.modem->Inject(0, std::span<const uint8_t>(data + pos, length));
      h.modem->Take(1);  // what the window sent meanwhile goes nowhere
    }
    pos += length;

    uint32_t count = Waiting(h);
    if (cut != 0 && count > 0) count -= cut % count;
    if (count > 0) h.panel->CommRxChar(*h.panel->Port, count);
    CheckState(h);
  }
  return 0;
}
