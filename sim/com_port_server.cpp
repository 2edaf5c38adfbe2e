#include "sim/com_port_server.h"

#include <utility>

namespace odu::sim {

namespace {

using namespace telnet;
namespace cp = com_port;

constexpr char kSignatureText[] = "odu-station-sim";

bool Supported(uint8_t option, bool local) {
  return option == kBinary || option == kSuppressGoAhead || (!local && option == kComPort);
}

void Put(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) { out.insert(out.end(), {kIac, verb, option}); }

// The bytes of a subnegotiation's value, IAC doubled.
void PutEscaped(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) {
    out.push_back(b);
    if (b == kIac) out.push_back(kIac);
  }
}

}  // namespace

ComPortServer::ComPortServer(uint32_t baud, Hooks hooks) : hooks_(std::move(hooks)) { settings_.baud = baud; }

void ComPortServer::Start(std::vector<uint8_t>& to_client) {
  for (uint8_t option : {kBinary, kSuppressGoAhead}) {
    Put(to_client, kWill, option);
    local_[option].pending = true;
    Put(to_client, kDo, option);
    remote_[option].pending = true;
  }
  lines_ = hooks_.lines ? hooks_.lines() : 0;
}

void ComPortServer::AppendData(std::span<const uint8_t> data, std::vector<uint8_t>& to_client) {
  PutEscaped(to_client, data);
}

void ComPortServer::FlushData() {
  if (data_.empty()) return;
  if (hooks_.data) hooks_.data(data_);
  data_.clear();
}

void ComPortServer::Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& out) {
  for (uint8_t b : bytes) {
    switch (state_) {
      case State::Data:
        if (b == kIac) state_ = State::Iac;
        else data_.push_back(b);
        break;
      case State::Iac:
        state_ = State::Data;
        if (b == kIac) data_.push_back(kIac);
        else OnCommand(b, out);
        break;
      case State::Option:
        state_ = State::Data;
        OnOption(verb_, b, out);
        break;
      case State::Sub:
        if (b == kIac) {
          state_ = State::SubIac;
        } else if (sub_.size() < kMaxSubnegotiation) {
          sub_.push_back(b);
        } else {
          sub_overlong_ = true;
        }
        break;
      case State::SubIac:
        if (b == kIac) {
          state_ = State::Sub;
          if (sub_.size() < kMaxSubnegotiation) sub_.push_back(kIac);
          else sub_overlong_ = true;
        } else if (b == kSe) {
          state_ = State::Data;
          OnSubnegotiation(out);
        } else {
          // Broken off by another command: what was gathered is dropped and
          // the command taken as it stands.
          ++dropped_;
          sub_.clear();
          sub_overlong_ = false;
          state_ = State::Data;
          OnCommand(b, out);
        }
        break;
    }
  }
  FlushData();
}

void ComPortServer::OnCommand(uint8_t command, std::vector<uint8_t>& out) {
  switch (command) {
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      verb_ = command;
      state_ = State::Option;
      return;
    case kSb:
      sub_.clear();
      sub_overlong_ = false;
      state_ = State::Sub;
      return;
    default:
      // NOP, GA, DM, BRK, AYT and the rest, a stray SE or a byte that is no
      // command at all: nothing to do for a serial line.
      (void)out;
      return;
  }
}

// Each side of an option is either on or off; a request to change it is
// answered, one to stay as it is is not (RFC 854), and a refusal of an
// unsupported option is sent once only, so that no two ends loop.
void ComPortServer::OnOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& out) {
  const bool local = verb == kDo || verb == kDont;
  Side& side = local ? local_[option] : remote_[option];
  const uint8_t yes = local ? kWill : kDo;
  const uint8_t no = local ? kWont : kDont;
  const bool on = verb == kDo || verb == kWill;
  const bool was_pending = std::exchange(side.pending, false);
  if (on) {
    if (Supported(option, local)) {
      if (!side.enabled && !was_pending) Put(out, yes, option);
      side.enabled = true;
    } else if (!side.refused) {
      side.refused = true;
      Put(out, no, option);
    }
  } else {
    if (side.enabled && !was_pending) Put(out, no, option);
    side.enabled = false;
  }
}

void ComPortServer::OnSubnegotiation(std::vector<uint8_t>& out) {
  std::vector<uint8_t> sub;
  sub.swap(sub_);
  if (std::exchange(sub_overlong_, false) || sub.empty()) {
    ++dropped_;
    return;
  }
  // A client that subnegotiates before the server's DO has reached it is
  // answered all the same.
  if (sub[0] != kComPort || sub.size() < 2) {
    ++dropped_;
    return;
  }
  FlushData();  // data sent before the command goes to the line before it acts
  OnComPort(sub[1], std::span(sub).subspan(2), out);
}

void ComPortServer::Answer(uint8_t command, std::span<const uint8_t> value, std::vector<uint8_t>& out) {
  out.insert(out.end(), {kIac, kSb, kComPort, static_cast<uint8_t>(command + cp::kServerOffset)});
  PutEscaped(out, value);
  out.insert(out.end(), {kIac, kSe});
}

void ComPortServer::OnComPort(uint8_t command, std::span<const uint8_t> value, std::vector<uint8_t>& out) {
  auto one = [&](uint8_t& setting, uint8_t low, uint8_t high) {
    if (value.size() != 1) {
      ++dropped_;
      return;
    }
    if (value[0] >= low && value[0] <= high) setting = value[0];
    Answer(command, setting, out);
  };
  switch (command) {
    case cp::kSignature: {
      // An empty one asks for the server's; a client's own is only noted.
      if (value.empty()) {
        const std::string_view text(kSignatureText);
        Answer(command, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), out);
      }
      return;
    }
    case cp::kSetBaudRate: {
      if (value.size() != 4) {
        ++dropped_;
        return;
      }
      const uint32_t rate = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 | uint32_t{value[2]} << 8 | value[3];
      if (rate >= kMinBaud && rate <= kMaxBaud && rate != settings_.baud) {
        settings_.baud = rate;
        if (hooks_.baud) hooks_.baud(rate);
      }
      const uint32_t b = settings_.baud;
      const uint8_t applied[4] = {static_cast<uint8_t>(b >> 24), static_cast<uint8_t>(b >> 16), static_cast<uint8_t>(b >> 8),
                                  static_cast<uint8_t>(b)};
      Answer(command, applied, out);
      return;
    }
    case cp::kSetDataSize: one(settings_.data_size, 5, 8); return;
    case cp::kSetParity: one(settings_.parity, 1, 5); return;
    case cp::kSetStopSize: one(settings_.stop_size, 1, 3); return;
    case cp::kSetControl:
      if (value.size() != 1) {
        ++dropped_;
        return;
      }
      SetControl(value[0], out);
      return;
    case cp::kFlowControlSuspend: suspended_ = true; return;
    case cp::kFlowControlResume: suspended_ = false; return;
    case cp::kSetLineStateMask: one(settings_.line_state_mask, 0, 255); return;
    case cp::kSetModemStateMask:
      one(settings_.modem_state_mask, 0, 255);
      if (value.size() != 1) return;
      // The client learns the lines at once, not only at their next change.
      lines_ = hooks_.lines ? hooks_.lines() : 0;
      if (settings_.modem_state_mask != 0)
        Answer(cp::kNotifyModemState, static_cast<uint8_t>(lines_ & settings_.modem_state_mask), out);
      return;
    case cp::kPurgeData:
      if (value.size() != 1 || value[0] < cp::kPurgeFromLine || value[0] > cp::kPurgeBoth) {
        ++dropped_;
        return;
      }
      if (hooks_.purge) hooks_.purge(value[0]);
      Answer(command, value[0], out);
      return;
    default:
      // The notifications are the server's to send; anything else is unknown.
      return;
  }
}

void ComPortServer::SetControl(uint8_t value, std::vector<uint8_t>& out) {
  const bool dtr = settings_.dtr;
  const bool rts = settings_.rts;
  uint8_t answer = value;
  switch (value) {
    case cp::kFlowRequest: answer = settings_.flow; break;
    case cp::kFlowNone:
    case cp::kFlowXonXoff:
    case cp::kFlowHardware:
    case cp::kFlowDcd:
    case cp::kFlowDsr: settings_.flow = value; break;
    case cp::kBreakRequest: answer = settings_.break_on ? cp::kBreakOn : cp::kBreakOff; break;
    case cp::kBreakOn:
    case cp::kBreakOff: settings_.break_on = value == cp::kBreakOn; break;
    case cp::kDtrRequest: answer = settings_.dtr ? cp::kDtrOn : cp::kDtrOff; break;
    case cp::kDtrOn:
    case cp::kDtrOff: settings_.dtr = value == cp::kDtrOn; break;
    case cp::kRtsRequest: answer = settings_.rts ? cp::kRtsOn : cp::kRtsOff; break;
    case cp::kRtsOn:
    case cp::kRtsOff: settings_.rts = value == cp::kRtsOn; break;
    case cp::kInboundRequest: answer = settings_.inbound_flow; break;
    case cp::kInboundNone:
    case cp::kInboundXonXoff:
    case cp::kInboundHardware:
    case cp::kInboundDtr: settings_.inbound_flow = value; break;
    default: ++dropped_; return;
  }
  if ((dtr != settings_.dtr || rts != settings_.rts) && hooks_.control) hooks_.control(settings_.dtr, settings_.rts);
  Answer(cp::kSetControl, answer, out);
  RefreshLines(out);
}

void ComPortServer::RefreshLines(std::vector<uint8_t>& out) {
  if (!hooks_.lines) return;
  const uint8_t now = hooks_.lines() & (cp::kCts | cp::kDsr | cp::kRi | cp::kCd);
  const uint8_t changed = now ^ lines_;
  if (changed == 0) return;
  uint8_t deltas = 0;
  if (changed & cp::kCts) deltas |= cp::kDeltaCts;
  if (changed & cp::kDsr) deltas |= cp::kDeltaDsr;
  if ((lines_ & cp::kRi) && !(now & cp::kRi)) deltas |= cp::kRiTrailingEdge;
  if (changed & cp::kCd) deltas |= cp::kDeltaCd;
  lines_ = now;
  const uint8_t mask = settings_.modem_state_mask;
  if (((changed | deltas) & mask) != 0) Answer(cp::kNotifyModemState, static_cast<uint8_t>((now | deltas) & mask), out);
}

}  // namespace odu::sim
