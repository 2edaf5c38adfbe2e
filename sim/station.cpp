#include "sim/station.h"

#include <algorithm>
#include <cstddef>

#include "protocol/station_frame.h"

namespace odu::sim {

namespace {

using platform::Millis;

constexpr Nanos kSplitPause = Millis(50);
constexpr Nanos kSplitSlowPause = Millis(300);

struct HexLine {
  uint8_t count = 0;
  uint16_t address = 0;
  uint8_t type = 0;
  std::vector<uint8_t> data;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A record as the bootloader reads it: a colon, then hex digit pairs for the
// count, address, type, `count` data bytes and a checksum that brings the
// sum of all of them to 0 modulo 256. Nothing may follow.
std::optional<HexLine> ParseHexLine(std::string_view text) {
  if (text.size() < 11 || text[0] != ':' || (text.size() - 1) % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  if (bytes.size() != size_t{bytes[0]} + 5) return std::nullopt;
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  if ((sum & 0xFF) != 0) return std::nullopt;
  HexLine line;
  line.count = bytes[0];
  line.address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  line.type = bytes[3];
  line.data.assign(bytes.begin() + 4, bytes.end() - 1);
  return line;
}

bool IsErase(const HexLine& r) { return r.type == 0x03 && r.data == std::vector<uint8_t>{0x07}; }

// A reply frame: 0x5A, length, 0x00, 0x00, the answer and its value, checksum.
std::vector<uint8_t> ReplyFrame(uint8_t answer, std::optional<uint8_t> value = std::nullopt) {
  uint8_t payload[2] = {answer, value.value_or(0)};
  std::vector<uint8_t> frame(8);
  frame.resize(BuildFrame(0x00, payload, value ? 2 : 1, frame.data()));
  return frame;
}

std::vector<uint8_t> StatusFrame(uint8_t value) { return ReplyFrame(kAnswerStatus, value); }

}  // namespace

const char* FaultName(Fault f) {
  switch (f) {
    case Fault::None: return "none";
    case Fault::Drop: return "drop";
    case Fault::Corrupt: return "corrupt";
    case Fault::Refuse: return "refuse";
    case Fault::Delay: return "delay";
    case Fault::LateTimeout: return "late";
    case Fault::Split: return "split";
    case Fault::SplitSlow: return "split-slow";
    case Fault::Noise: return "noise";
    case Fault::Stall: return "stall";
    case Fault::Vanish: return "vanish";
    case Fault::Garbled: return "garbled";
  }
  return "?";
}

std::optional<Fault> FaultFromName(const std::string& name) {
  for (Fault f : {Fault::None, Fault::Drop, Fault::Corrupt, Fault::Refuse, Fault::Delay, Fault::LateTimeout, Fault::Split,
                  Fault::SplitSlow, Fault::Noise, Fault::Stall, Fault::Vanish, Fault::Garbled})
    if (name == FaultName(f)) return f;
  return std::nullopt;
}

bool FlashFromHex(std::span<const std::string_view> lines, std::array<uint8_t, 65536>& flash, size_t* bad_line) {
  flash.fill(0xFF);
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto record = ParseHexLine(lines[i]);
    if (!record || (record->type == 0x00 && size_t{record->address} + record->count > flash.size())) {
      if (bad_line) *bad_line = i + 1;
      return false;
    }
    if (record->type == 0x00) std::copy(record->data.begin(), record->data.end(), flash.begin() + record->address);
  }
  return true;
}

Station::Station(StationConfig config) : config_(std::move(config)), rng_(config_.seed) {}

std::vector<Output> Station::Receive(std::span<const uint8_t> bytes, Nanos now) {
  std::vector<Output> out;
  if (vanished_ || stalled_ || bytes.empty()) return out;
  // A loopback plug: every byte goes straight back.
  if (config_.init == StationConfig::Init::Echo) {
    out.push_back({now, {bytes.begin(), bytes.end()}});
    return out;
  }
  for (uint8_t b : bytes) {
    Scan(b, now, out);
    if (vanished_ || stalled_) break;
  }
  return out;
}

// Frames are found by their 0x5A; other bytes between frames are line noise
// and dropped. A length byte that no frame can have (below 6, or above 127
// since the tool reads it as signed) or a frame not complete within the
// frame window drops what was gathered: such a frame is not well delimited,
// so there is nothing to answer. A whole frame whose checksum fails is
// answered with a refusal.
void Station::Scan(uint8_t byte, Nanos now, std::vector<Output>& out) {
  if (!pending_.empty() && now - pending_since_ > config_.frame_window) {
    pending_.clear();
    ++stats_.bad_frames;
  }
  if (pending_.empty()) {
    if (byte == kFrameStart) {
      pending_.push_back(byte);
      pending_since_ = now;
    }
    return;
  }
  if (pending_.size() == 1 && (byte < 6 || byte > 127)) {
    pending_.clear();
    ++stats_.bad_frames;
    return;
  }
  pending_.push_back(byte);
  if (pending_.size() < pending_[1]) return;
  std::vector<uint8_t> frame;
  frame.swap(pending_);
  OnFrame(frame, now, out);
}

void Station::OnFrame(const std::vector<uint8_t>& frame, Nanos now, std::vector<Output>& out) {
  const Nanos at = now + config_.processing;
  if (!FrameChecksumHolds(frame.data())) {
    ++stats_.bad_frames;
    ++stats_.refused;
    Reply(StatusFrame(kRefuseBadFrame), at, Fault::None, kRecordTimeout, out);
    return;
  }
  const uint8_t command = frame[3];
  if (command == kCommandInit) {
    ++stats_.init_frames;
    switch (config_.init) {
      case StationConfig::Init::Accept: Reply(StatusFrame(0x0C), at, Fault::None, kRecordTimeout, out); return;
      case StationConfig::Init::Refuse: Reply(StatusFrame(config_.refuse_status), at, Fault::None, kRecordTimeout, out); return;
      case StationConfig::Init::Silent:
      case StationConfig::Init::Echo: return;
    }
    return;
  }
  if (command == kCommandRecord) {
    const std::string_view text(reinterpret_cast<const char*>(frame.data() + 4), frame.size() - 6);
    OnRecord(text, now, out);
    return;
  }
  ++stats_.refused;
  Reply(StatusFrame(kRefuseUnknown), at, Fault::None, kRecordTimeout, out);
}

void Station::OnRecord(std::string_view text, Nanos now, std::vector<Output>& out) {
  ++stats_.records;
  const bool first_time = command_ < 0 || text != last_record_;
  if (first_time) {
    ++command_;
    ++stats_.commands;
    last_record_ = text;
  }
  const Fault fault = ChooseFault(first_time);
  if (fault != Fault::None) ++stats_.faults;
  // A stalled or vanished bootloader never gets to carry the record out.
  if (fault == Fault::Stall) {
    stalled_ = true;
    return;
  }
  if (fault == Fault::Vanish) {
    vanished_ = true;
    return;
  }
  if (fault == Fault::Garbled) {
    // A hit on the checksum or the data leaves a whole frame that fails its
    // checksum; a hit on the length byte leaves nothing to answer.
    ++stats_.bad_frames;
    if (rng_() % 2) {
      ++stats_.refused;
      Reply(StatusFrame(kRefuseBadFrame), now + config_.processing, Fault::None, kRecordTimeout, out);
    }
    return;
  }
  const auto parsed = ParseHexLine(text);
  const Nanos timeout = parsed && IsErase(*parsed) ? kEraseTimeout : kRecordTimeout;
  // A forced refusal leaves the flash alone; a dropped reply does not: the
  // record was carried out and only its acknowledgement is lost.
  const uint8_t status = fault == Fault::Refuse ? config_.refuse_status : Apply(text);
  if (fault == Fault::Drop) return;
  if (status == kAnswerAck) {
    ++stats_.acknowledged;
    Reply(ReplyFrame(kAnswerAck), now + config_.processing, fault, timeout, out);
  } else {
    ++stats_.refused;
    Reply(StatusFrame(status), now + config_.processing, fault, timeout, out);
  }
}

// The bootloader's commands: the erase (type 03, data 07) blanks the flash;
// data records (type 00) are written once the flash is erased and while
// they fit; the two closing commands (type 03 with 06 00 00 and with 05 01)
// are only acknowledged; the last one (type 08) ends the session. A record
// received again is carried out again, which for all of them is harmless.
uint8_t Station::Apply(std::string_view text) {
  const auto r = ParseHexLine(text);
  if (!r) return kRefuseBadRecord;
  switch (r->type) {
    case 0x00:
      if (!erased_) return kRefuseNotErased;
      if (size_t{r->address} + r->count > flash_.size()) return kRefuseOutOfRange;
      std::copy(r->data.begin(), r->data.end(), flash_.begin() + r->address);
      return kAnswerAck;
    case 0x03:
      if (IsErase(*r)) {
        flash_.fill(0xFF);
        erased_ = true;
        finished_ = false;
        return kAnswerAck;
      }
      if (r->data == std::vector<uint8_t>{0x06, 0x00, 0x00} || r->data == std::vector<uint8_t>{0x05, 0x01}) return kAnswerAck;
      return kRefuseUnknown;
    case 0x08:
      if (r->count != 0) return kRefuseUnknown;
      finished_ = true;
      return kAnswerAck;
    default: return kRefuseUnknown;
  }
}

Fault Station::ChooseFault(bool first_time) {
  // The random draw is made for every record, so that the faults a seed
  // gives do not shift when a fault is also chosen by number.
  Fault random = Fault::None;
  if (config_.fault_rate > 0) {
    const double u = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
    static const std::vector<Fault> kDefaultKinds = {Fault::Drop,  Fault::Corrupt,   Fault::Refuse, Fault::Delay,
                                                     Fault::LateTimeout, Fault::Split, Fault::SplitSlow, Fault::Noise};
    const auto& kinds = config_.random_kinds.empty() ? kDefaultKinds : config_.random_kinds;
    const uint64_t pick = rng_() % kinds.size();
    if (u < config_.fault_rate) random = kinds[pick];
  }
  const auto it = config_.faults.find(command_);
  if (it != config_.faults.end() && (first_time || !config_.faults_first_time_only)) return it->second;
  return random;
}

void Station::Reply(std::vector<uint8_t> frame, Nanos at, Fault fault, Nanos timeout, std::vector<Output>& out) {
  const bool ack = frame.size() == 7 && frame[4] == kAnswerAck;
  switch (fault) {
    case Fault::Corrupt: {
      // Not the start or the length byte: the tool still sees a whole
      // frame, one whose checksum fails.
      const size_t index = 2 + rng_() % (frame.size() - 2);
      frame[index] ^= static_cast<uint8_t>(1u << (rng_() % 8));
      out.push_back({at, std::move(frame), false});
      return;
    }
    case Fault::Delay:
      at += config_.delay;
      if (config_.delay >= timeout) ++stats_.late_replies;
      break;
    case Fault::LateTimeout:
      at += timeout + config_.late_by;
      ++stats_.late_replies;
      break;
    case Fault::Split:
    case Fault::SplitSlow: {
      const auto half = static_cast<std::ptrdiff_t>(frame.size() / 2);
      out.push_back({at, {frame.begin(), frame.begin() + half}, false});
      out.push_back({at + (fault == Fault::Split ? kSplitPause : kSplitSlowPause), {frame.begin() + half, frame.end()}, ack});
      return;
    }
    case Fault::Noise: {
      std::vector<uint8_t> noisy(1 + rng_() % 4);
      for (auto& b : noisy) {
        do b = static_cast<uint8_t>(rng_());
        while (b == kFrameStart);
      }
      noisy.insert(noisy.end(), frame.begin(), frame.end());
      out.push_back({at, std::move(noisy), ack});
      return;
    }
    default: break;
  }
  out.push_back({at, std::move(frame), ack});
}

}  // namespace odu::sim
