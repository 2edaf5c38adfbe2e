// The virtual null-modem: two serial ends joined by a crossed cable, in
// process. Bytes written at one end arrive at the other, optionally paced at
// the writer's line speed; each end's DTR shows at the other as DSR and
// carrier detect, RTS as CTS. Tests, the station simulator and the demo run
// the port component on it, with hooks for the failures a real adapter has.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/serial/serial_device.h"

namespace odu::platform {

// Device calls that a fault hook can make fail.
enum class VirtualCall { SetupComm, SetCommState, SetCommTimeouts, EscapeCommFunction, ReadFile, WriteFile };

class VirtualNullModem : public std::enable_shared_from_this<VirtualNullModem> {
 public:
  static std::shared_ptr<VirtualNullModem> Create(Clock& clock = RealTime());

  // Opens end 0 or 1 as a device, as CreateFileA would. One handle per end
  // at a time (a second open fails with error 5, as the port is not shared).
  DeviceHandle Open(int end, bool character_device = true);

  // Pace bytes at the writer's line speed (start, data, parity and stop bits
  // a byte); unpaced bytes arrive at once.
  void SetPaced(bool paced);

  // ---- far-end controls, for tests and the simulator ----
  // Puts bytes into `end`'s input queue at once, as if they had just arrived.
  void Inject(int end, std::span<const uint8_t> bytes);
  // Takes what is waiting in `end`'s input queue.
  std::vector<uint8_t> Take(int end);
  size_t Waiting(int end) const;
  // Called on the writer's thread, without locks held, when bytes have
  // arrived at `end`.
  void SetOnReceive(int end, std::function<void()> on_receive);
  // Sets `end`'s own DTR and RTS, as EscapeCommFunction on it would.
  void SetLines(int end, bool dtr, bool rts);
  // Overrides the carrier detect that `end` sees (nullopt: follow the other end's DTR).
  void SetCarrier(int end, std::optional<bool> carrier);
  bool Dtr(int end) const;
  bool Rts(int end) const;
  // The line state and timeouts last set on `end`.
  Dcb State(int end) const;
  CommTimeouts Timeouts(int end) const;
  uint32_t Mask(int end) const;

  // Makes `call` on `end` fail with `code` (0 removes the fault), every time
  // or only the next `times` times.
  void SetFault(int end, VirtualCall call, uint32_t code, int times = -1);
  // The adapter is pulled out: every call on `end` fails with `code` from now
  // on (by default the code every backend gives for it).
  void Vanish(int end, uint32_t code = kDeviceGoneError);
  // Device calls made on `end` so far, and how many of them set or cleared
  // a line.
  uint64_t Calls(int end) const;
  uint64_t LineCalls(int end) const;

 private:
  friend class VirtualHandle;
  explicit VirtualNullModem(Clock& clock) : clock_(clock) {}

  struct Fault {
    uint32_t code = 0;
    int times = 0;
  };
  struct End {
    std::deque<uint8_t> input;
    uint32_t in_queue_size = 4096;
    uint32_t out_queue_size = 4096;
    Dcb dcb{9600};
    CommTimeouts timeouts;
    uint32_t mask = 0;
    uint32_t history = 0;
    uint32_t errors = 0;
    bool dtr = false;
    bool rts = false;
    bool break_on = false;
    std::optional<bool> carrier;
    std::map<VirtualCall, Fault> faults;
    uint32_t vanished = 0;
    uint64_t calls = 0;
    uint64_t line_calls = 0;
    class VirtualHandle* handle = nullptr;
    std::function<void()> on_receive;
  };

  // All under mutex_.
  bool Cts(int end) const { return ends_[1 - end].rts; }
  bool Dsr(int end) const { return ends_[1 - end].dtr; }
  bool Rlsd(int end) const { return ends_[end].carrier.value_or(ends_[1 - end].dtr); }
  void AddEvents(int end, uint32_t events);
  // Appends to `end`'s input; true when its receive hook is to be called.
  bool Deliver(int end, std::span<const uint8_t> bytes);
  void SetDtrLocked(int end, bool on);
  void SetRtsLocked(int end, bool on);
  void NotifyReceived(int end);
  Nanos ByteTime(int end) const;

  Clock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::array<End, 2> ends_;
  bool paced_ = false;
};

// Opens device names: names registered here resolve to virtual ends, any
// other name goes to the fallback opener (none: error 2, not found).
class VirtualPortOpener : public SerialOpener {
 public:
  explicit VirtualPortOpener(SerialOpener* fallback = nullptr) : fallback_(fallback) {}
  void Add(const std::string& name, std::shared_ptr<VirtualNullModem> modem, int end);
  // Opening `name` fails with `code` (0 removes the fault) and `refusal`.
  void FailOpen(const std::string& name, uint32_t code, OpenRefusal refusal = {});
  // `name` opens but is not a character device (a regular file, say).
  void NotCharacterDevice(const std::string& name);
  using SerialOpener::Open;
  DeviceHandle Open(const std::string& name, OpenRefusal& refusal) override;
  // Names that were asked for, in order.
  const std::vector<std::string>& opened() const { return opened_; }

 private:
  struct Entry {
    std::shared_ptr<VirtualNullModem> modem;
    int end = 0;
    uint32_t fail = 0;
    OpenRefusal refusal{};
    bool not_char = false;
  };
  SerialOpener* fallback_;
  std::map<std::string, Entry> entries_;
  std::vector<std::string> opened_;
};

}  // namespace odu::platform
