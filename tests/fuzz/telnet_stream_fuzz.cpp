// Fuzz target: the Telnet decoder of network ports, which takes whatever a
// server sends.
//
// Input: byte 0 picks where the stream is cut into two feeds, the rest is
// the stream. Whole, cut and byte by byte the decoder must report the same
// events, and the same as a model written from the protocol: IAC IAC is a
// data byte; IAC WILL/WONT/DO/DONT and an option byte a negotiation; IAC SB,
// an option, a payload with doubled IACs and IAC SE a subnegotiation (one
// longer than the bound reported once, as overlong); any other command after
// IAC is dropped, and a command inside a subnegotiation abandons it. Data
// encoded by the encoder must decode to itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/serial/network/telnet_codec.h"
#include "tests/support/fuzz_require.h"

namespace {

using namespace odu::platform::telnet;

void Require(bool condition, const char* what) { odu::testing::RequireOf("telnet stream", condition, what); }

// Events as one string each; data runs merged.
class Events : public Decoder::Sink {
 public:
  void OnData(const uint8_t* data, size_t size) override {
    Require(size > 0, "an empty data run");
    if (list.empty() || list.back()[0] != 'D') list.emplace_back("D");
    list.back().append(reinterpret_cast<const char*>(data), size);
  }
  void OnNegotiation(uint8_t verb, uint8_t option) override {
    Require(verb >= WILL, "a negotiation that is none");
    list.push_back(std::string("N") + char(verb) + char(option));
  }
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size, bool overlong) override {
    Require(size <= kMaxSubnegotiation, "a payload past the bound");
    Require(!overlong || size == 0, "an overlong subnegotiation with a payload");
    list.push_back(std::string(overlong ? "O" : "S") + char(option) +
                   std::string(reinterpret_cast<const char*>(payload), size));
  }
  std::vector<std::string> list;
};

std::vector<std::string> Model(const uint8_t* s, size_t n) {
  Events out;
  size_t i = 0;
  while (i < n) {
    if (s[i] != IAC) {
      out.OnData(s + i, 1);
      ++i;
      continue;
    }
    if (i + 1 >= n) break;
    const uint8_t c = s[i + 1];
    if (c == IAC) {
      out.OnData(s + i + 1, 1);
      i += 2;
    } else if (c >= WILL) {
      if (i + 2 >= n) break;
      out.OnNegotiation(c, s[i + 2]);
      i += 3;
    } else if (c == SB) {
      if (i + 2 >= n) break;
      const uint8_t option = s[i + 2];
      std::string payload;
      size_t j = i + 3;
      bool ended = false;
      bool abandoned = false;
      bool reported = false;
      while (j < n) {
        if (s[j] != IAC) {
          payload += char(s[j]);
          ++j;
        } else if (j + 1 >= n) {
          j = n;
          break;
        } else if (s[j + 1] == IAC) {
          payload += char(IAC);
          j += 2;
        } else if (s[j + 1] == SE) {
          ended = true;
          j += 2;
          break;
        } else {
          abandoned = true;  // the IAC starts the next command
          break;
        }
        if (payload.size() > kMaxSubnegotiation && !reported) {
          out.OnSubnegotiation(option, nullptr, 0, true);
          reported = true;
        }
      }
      if (ended && !reported) {
        out.OnSubnegotiation(option, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), false);
      }
      (void)abandoned;
      i = j;
    } else {
      i += 2;
    }
  }
  return out.list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* stream = data + 1;
  const size_t n = size - 1;
  const size_t cut = n ? data[0] % (n + 1) : 0;

  Events whole;
  Decoder().Feed(stream, n, whole);
  Events split;
  Decoder d;
  d.Feed(stream, cut, split);
  d.Feed(stream + cut, n - cut, split);
  Events bytewise;
  Decoder b;
  for (size_t i = 0; i < n; ++i) b.Feed(stream + i, 1, bytewise);
  Require(whole.list == split.list, "a cut stream decodes differently");
  Require(whole.list == bytewise.list, "a stream fed byte by byte decodes differently");
  Require(whole.list == Model(stream, n), "the decoder differs from the protocol's model");

  std::vector<uint8_t> encoded;
  AppendData(encoded, stream, n);
  Events round;
  Decoder().Feed(encoded.data(), encoded.size(), round);
  const std::string original(reinterpret_cast<const char*>(stream), n);
  Require(n == 0 ? round.list.empty() : round.list == std::vector<std::string>{"D" + original},
          "encoded data does not decode to itself");
  return 0;
}
