#include "platform/serial/network/telnet_codec.h"

namespace odu::platform::telnet {

void Decoder::Feed(const uint8_t* data, size_t size, Sink& sink) {
  size_t run = 0;  // start of the data run not yet handed on
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    switch (state_) {
      case State::kData:
        if (b == IAC) {
          if (i > run) sink.OnData(data + run, i - run);
          state_ = State::kIac;
        }
        continue;
      case State::kIac:
        if (b == IAC) {
          sink.OnData(&b, 1);
          state_ = State::kData;
        } else if (b >= WILL) {
          verb_ = b;
          state_ = State::kVerb;
        } else if (b == SB) {
          state_ = State::kSbOption;
        } else {
          state_ = State::kData;  // NOP, GA, BRK, a stray SE, ...: nothing to do
        }
        break;
      case State::kVerb:
        sink.OnNegotiation(verb_, b);
        state_ = State::kData;
        break;
      case State::kSbOption:
        sb_option_ = b;
        sb_.clear();
        sb_overlong_ = false;
        state_ = State::kSbData;
        break;
      case State::kSbData:
        if (b == IAC) {
          state_ = State::kSbIac;
        } else {
          Append(b, sink);
        }
        break;
      case State::kSbIac:
        if (b == IAC) {
          Append(b, sink);
          state_ = State::kSbData;
        } else if (b == SE) {
          if (!sb_overlong_) sink.OnSubnegotiation(sb_option_, sb_.data(), sb_.size(), false);
          sb_.clear();
          state_ = State::kData;
        } else {
          // A command inside a subnegotiation ends it unfinished: drop it
          // and take the byte as the command it is.
          sb_.clear();
          state_ = State::kIac;
          --i;
        }
        break;
    }
    run = i + 1;
  }
  if (state_ == State::kData && size > run) sink.OnData(data + run, size - run);
}

void Decoder::Append(uint8_t b, Sink& sink) {
  if (sb_overlong_) return;
  if (sb_.size() < kMaxSubnegotiation) {
    sb_.push_back(b);
    return;
  }
  // Reported once, when it passes the bound; the rest up to IAC SE is skipped.
  sb_overlong_ = true;
  sb_.clear();
  sink.OnSubnegotiation(sb_option_, nullptr, 0, true);
}

void AppendData(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    out.push_back(data[i]);
    if (data[i] == IAC) out.push_back(IAC);
  }
}

void AppendNegotiation(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) {
  out.push_back(IAC);
  out.push_back(verb);
  out.push_back(option);
}

void AppendComPort(std::vector<uint8_t>& out, uint8_t command, const uint8_t* value, size_t size) {
  out.push_back(IAC);
  out.push_back(SB);
  out.push_back(kComPortOption);
  out.push_back(command);
  AppendData(out, value, size);
  out.push_back(IAC);
  out.push_back(SE);
}

}  // namespace odu::platform::telnet
