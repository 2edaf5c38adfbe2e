// A model of the station and its outdoor unit's bootloader: the far end of
// the serial line, as the upgrade tool sees it. It is a pure state machine:
// bytes from the tool go in with the time they arrived, bytes for the tool
// come out with the time they are to be put on the line. Drivers connect it
// to a virtual null-modem (in process), or to a pseudo-terminal or a TCP
// connection (the odu-station-sim program).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "protocol/bootloader.h"

namespace odu::sim {

using platform::Nanos;

// Status values of the refusals the station gives on its own account (a
// refusal chosen by the configuration or a fault carries
// StationConfig::refuse_status). All travel as 0xA2 status answers.
inline constexpr uint8_t kRefuseBadFrame = 0x01;    // a whole frame whose checksum fails
inline constexpr uint8_t kRefuseBadRecord = 0x02;   // not a well-formed Intel HEX record
inline constexpr uint8_t kRefuseNotErased = 0x03;   // data before the erase
inline constexpr uint8_t kRefuseOutOfRange = 0x04;  // data past the end of the flash
inline constexpr uint8_t kRefuseUnknown = 0x05;     // a record or command the bootloader has no use for

// The commands' reply timeouts on the tool's side, which Fault::LateTimeout
// overruns.
inline constexpr Nanos kEraseTimeout = platform::Millis(kEraseTimeoutMs);
inline constexpr Nanos kRecordTimeout = platform::Millis(kReplyTimeoutMs);
inline constexpr Nanos kLateBy = platform::Millis(200);

// Something the station can do wrong with the reply to one command.
enum class Fault {
  None,
  Drop,         // no reply at all
  Corrupt,      // one byte of the reply altered (the checksum then fails)
  Refuse,       // a refusal (status byte other than 0xE5) instead of the acknowledgement
  Delay,        // the reply comes late (by StationConfig::delay)
  LateTimeout,  // the reply comes after the command's timeout has passed
  Split,        // the reply in two parts, the second 50 ms after the first (within the frame window)
  SplitSlow,    // the reply in two parts, the second 300 ms after the first (beyond the frame window)
  Noise,        // a few noise bytes before the reply
  Stall,        // the station stops answering anything from this command on
  Vanish,       // the adapter is pulled out: the line goes dead (drivers close the device)
  Garbled,      // noise hit the command on its way here: refused as a bad frame, or not seen at all
};

const char* FaultName(Fault f);
std::optional<Fault> FaultFromName(const std::string& name);

struct StationConfig {
  // How the station answers the initialisation frame (command 0xF3).
  enum class Init { Accept, Refuse, Silent, Echo } init = Init::Accept;
  uint8_t refuse_status = 0x0B;      // the status value of a refusal
  Nanos processing = Nanos(0);       // delay between a command's last byte and the reply
  Nanos delay = platform::Millis(500);  // what Fault::Delay adds
  Nanos late_by = kLateBy;               // how far past its timeout Fault::LateTimeout answers
  // A frame not complete this long after its 0x5A is dropped. Drivers on
  // slow lines widen it so that a whole frame fits.
  Nanos frame_window = platform::Millis(150);

  // Faults for given commands, by command number: the first record received
  // (in an upgrade, the erase) is command 0 and every new record the next
  // number, while a record received again right after itself (the tool's
  // re-send) keeps its number. The fault hits the command's first reception
  // only, or, with faults_first_time_only false, every re-send as well.
  std::map<int, Fault> faults;
  bool faults_first_time_only = true;
  // Random faults: with this probability per record received (re-sends
  // included), one of `random_kinds` (empty: every kind but Stall and
  // Vanish). A given input and seed always give the same faults.
  double fault_rate = 0.0;
  std::vector<Fault> random_kinds;
  uint64_t seed = 1;
};

// One chunk of bytes for the tool, to be put on the line at `at`.
struct Output {
  Nanos at;
  std::vector<uint8_t> bytes;
  // The last byte of `bytes` ends an acknowledgement (drivers measure the
  // tool's turnaround from there).
  bool ends_ack = false;
};

// The flash an image should leave: 0xFF everywhere, then the data records
// (type 00) of `lines` written at their addresses; other record types are
// passed over. False, with the 1-based line number in `bad_line`, for a line
// that is not a well-formed record or whose data run past 0xFFFF.
bool FlashFromHex(std::span<const std::string_view> lines, std::array<uint8_t, 65536>& flash, size_t* bad_line = nullptr);

class Station {
 public:
  explicit Station(StationConfig config = {});

  // Bytes that arrived from the tool at `now`. Returns what to send back: a
  // reply is due at the time its frame completed plus the processing delay
  // (and whatever its fault adds). Faults only touch the replies to
  // bootloader records; the initialisation frame is answered as configured.
  std::vector<Output> Receive(std::span<const uint8_t> bytes, Nanos now);
  // Widens the frame window to at least `window` (a slower line rate).
  void WidenFrameWindow(Nanos window) { config_.frame_window = std::max(config_.frame_window, window); }

  // The bootloader's 64 KiB flash; 0xFF after the erase.
  const std::array<uint8_t, 65536>& Flash() const { return flash_; }
  bool Erased() const { return erased_; }
  // The last closing record has been acknowledged.
  bool Finished() const { return finished_; }
  // The line went dead (Fault::Vanish): drivers close the device.
  bool Vanished() const { return vanished_; }
  bool Stalled() const { return stalled_; }

  // What happened so far.
  struct Stats {
    int init_frames = 0;
    int records = 0;        // bootloader records received whole (re-sends too)
    int commands = 0;       // distinct commands: a re-send is not counted again
    int acknowledged = 0;
    int refused = 0;
    int faults = 0;
    int bad_frames = 0;     // frames with a bad checksum or length
    int late_replies = 0;   // replies sent after their command's timeout had passed
  };
  const Stats& stats() const { return stats_; }

 private:
  void Scan(uint8_t byte, Nanos now, std::vector<Output>& out);
  void OnFrame(const std::vector<uint8_t>& frame, Nanos now, std::vector<Output>& out);
  void OnRecord(std::string_view text, Nanos now, std::vector<Output>& out);
  // Carries out a record; the status byte of its reply (0xE5 or a refusal
  // value).
  uint8_t Apply(std::string_view text);
  Fault ChooseFault(bool first_time);
  void Reply(std::vector<uint8_t> frame, Nanos at, Fault fault, Nanos timeout, std::vector<Output>& out);

  StationConfig config_;
  std::array<uint8_t, 65536> flash_{};
  bool erased_ = false;
  bool finished_ = false;
  bool vanished_ = false;
  bool stalled_ = false;
  Stats stats_;
  std::vector<uint8_t> pending_;  // the frame being assembled, from its 0x5A
  Nanos pending_since_{};
  std::string last_record_;       // to tell a re-send from a new command
  int command_ = -1;              // number of the command now being answered
  std::mt19937_64 rng_;
};

}  // namespace odu::sim
