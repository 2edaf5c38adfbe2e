// The Telnet layer of network ports and the names that lead to them.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial/network/network_port_name.h"
#include "platform/serial/network/telnet_codec.h"

namespace odu::platform {
namespace {

using namespace telnet;
using Bytes = std::vector<uint8_t>;

// Writes what the decoder reports as words; adjacent data runs are merged,
// so that any split of the input must give the same words.
class Recorder : public Decoder::Sink {
 public:
  void OnData(const uint8_t* data, size_t size) override {
    if (words_.empty() || words_.back().rfind("D:", 0) != 0) words_.push_back("D:");
    for (size_t i = 0; i < size; ++i) words_.back() += Hex(data[i]);
  }
  void OnNegotiation(uint8_t verb, uint8_t option) override {
    static const char* const kVerbs[] = {"WILL", "WONT", "DO", "DONT"};
    words_.push_back(std::string(kVerbs[verb - WILL]) + " " + std::to_string(option));
  }
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size, bool overlong) override {
    std::string w = "SB " + std::to_string(option) + (overlong ? " overlong" : ":");
    for (size_t i = 0; i < size; ++i) w += Hex(payload[i]);
    words_.push_back(w);
  }
  const std::vector<std::string>& words() const { return words_; }

 private:
  static std::string Hex(uint8_t b) {
    char text[4];
    std::snprintf(text, sizeof text, " %02x", b);
    return text;
  }
  std::vector<std::string> words_;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(TelnetDecoder, SplitsDataNegotiationsAndSubnegotiationsAtAnyCut) {
  const Bytes long_sb = Concat({{IAC, SB, kComPortOption}, Bytes(kMaxSubnegotiation + 1, 0x41), {IAC, SE, 0x42}});
  struct Row {
    const char* name;
    Bytes input;
    std::vector<std::string> words;
  } rows[] = {
      {"plain data", {0x5A, 0x00, 0x0D, 0x0A}, {"D: 5a 00 0d 0a"}},
      {"a doubled IAC is one data byte", {0x01, IAC, IAC, 0x02}, {"D: 01 ff 02"}},
      {"negotiations", {IAC, DO, kComPortOption, IAC, WILL, kBinary, IAC, DONT, 1, IAC, WONT, 3},
       {"DO 44", "WILL 0", "DONT 1", "WONT 3"}},
      {"commands without an option are dropped", {0x01, IAC, NOP, 0x02, IAC, 249, IAC, SE, 0x03}, {"D: 01 02 03"}},
      {"a modem state report", {IAC, SB, kComPortOption, 107, 0xB0, IAC, SE}, {"SB 44: 6b b0"}},
      {"an IAC inside a subnegotiation is doubled", {IAC, SB, kComPortOption, 101, IAC, IAC, IAC, SE},
       {"SB 44: 65 ff"}},
      {"an empty subnegotiation", {IAC, SB, 24, IAC, SE, 0x07}, {"SB 24:", "D: 07"}},
      {"a command inside a subnegotiation ends it unfinished",
       {IAC, SB, kComPortOption, 107, IAC, WILL, 3, 0x09}, {"WILL 3", "D: 09"}},
      {"a subnegotiation past the bound is reported once and skipped to its end", long_sb,
       {"SB 44 overlong", "D: 42"}},
      {"data around everything",
       {0x10, IAC, SB, kComPortOption, 106, 0x10, IAC, SE, 0x11, IAC, DO, 0, 0x12},
       {"D: 10", "SB 44: 6a 10", "D: 11", "DO 0", "D: 12"}},
  };
  for (const Row& row : rows) {
    {
      Decoder decoder;
      Recorder all;
      decoder.Feed(row.input.data(), row.input.size(), all);
      EXPECT_EQ(all.words(), row.words) << row.name;
    }
    for (size_t cut = 0; cut <= row.input.size(); ++cut) {
      Decoder decoder;
      Recorder split;
      decoder.Feed(row.input.data(), cut, split);
      decoder.Feed(row.input.data() + cut, row.input.size() - cut, split);
      EXPECT_EQ(split.words(), row.words) << row.name << ", cut at " << cut;
    }
    Decoder decoder;
    Recorder bytewise;
    for (uint8_t b : row.input) decoder.Feed(&b, 1, bytewise);
    EXPECT_EQ(bytewise.words(), row.words) << row.name << ", byte by byte";
  }
}

TEST(TelnetEncoder, DoublesIacAndFramesComPortCommands) {
  Bytes out;
  const Bytes data{0x5A, IAC, 0x00, IAC};
  AppendData(out, data.data(), data.size());
  EXPECT_EQ(out, (Bytes{0x5A, IAC, IAC, 0x00, IAC, IAC}));
  out.clear();
  AppendNegotiation(out, WILL, kComPortOption);
  const uint8_t baud[] = {0x00, 0x00, 0x4B, 0x00};
  AppendComPort(out, kSetBaudRate, baud, sizeof baud);
  const uint8_t odd = 0xFF;
  AppendComPort(out, kSetControl, &odd, 1);
  EXPECT_EQ(out, (Bytes{IAC, WILL, 44, IAC, SB, 44, 1, 0x00, 0x00, 0x4B, 0x00, IAC, SE, IAC, SB, 44, 5, IAC, IAC, IAC,
                        SE}));
}

TEST(NetworkPortName, TheSchemesHostsAndPortsUsersWrite) {
  using Kind = NetworkPortName::Kind;
  struct Row {
    const char* name;
    bool network;
    std::optional<Kind> kind;
    const char* host;
    uint16_t port;
  } rows[] = {
      {"rfc2217://127.0.0.1:2001", true, Kind::kRfc2217, "127.0.0.1", 2001},
      {"RFC2217://ser2net.local:7000", true, Kind::kRfc2217, "ser2net.local", 7000},
      {"socket://host-1:65535", true, Kind::kRawSocket, "host-1", 65535},
      {"rfc2217://[::1]:4000", true, Kind::kRfc2217, "::1", 4000},
      {"rfc2217://[fe80::1:2]:1", true, Kind::kRfc2217, "fe80::1:2", 1},
      {"rfc2217://host", true, std::nullopt, "", 0},
      {"rfc2217://host:", true, std::nullopt, "", 0},
      {"rfc2217://:2001", true, std::nullopt, "", 0},
      {"rfc2217://host:0", true, std::nullopt, "", 0},
      {"rfc2217://host:65536", true, std::nullopt, "", 0},
      {"rfc2217://host:20x1", true, std::nullopt, "", 0},
      {"rfc2217://host:2001?logging=debug", true, std::nullopt, "", 0},
      {"rfc2217://ho st:2001", true, std::nullopt, "", 0},
      {"rfc2217://[::1:2001", true, std::nullopt, "", 0},
      {"rfc2217://[::1]2001", true, std::nullopt, "", 0},
      {"rfc2217://[::g]:2001", true, std::nullopt, "", 0},
      {"socket://", true, std::nullopt, "", 0},
      {"/dev/ttyUSB0", false, std::nullopt, "", 0},
      {"COM3", false, std::nullopt, "", 0},
      {"rfc2217:/host:1", false, std::nullopt, "", 0},
      {"telnet://host:23", false, std::nullopt, "", 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsNetworkPortName(row.name), row.network) << row.name;
    const std::optional<NetworkPortName> parsed = ParseNetworkPortName(row.name);
    ASSERT_EQ(parsed.has_value(), row.kind.has_value()) << row.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->kind, *row.kind) << row.name;
    EXPECT_EQ(parsed->host, row.host) << row.name;
    EXPECT_EQ(parsed->port, row.port) << row.name;
  }
}

}  // namespace
}  // namespace odu::platform
