// The server side of a Telnet connection that carries a serial line with the
// COM-PORT-OPTION (RFC 2217), as odu-station-sim --listen serves the station.
// It is a pure protocol machine: bytes from the client go in, data for the
// line and what happens to the line come out through hooks, and everything
// the server says goes into a byte buffer for the connection.
//
// Telnet: the server offers and accepts BINARY and SUPPRESS-GO-AHEAD both
// ways and accepts the client's COM-PORT-OPTION; any other option is refused
// once. IAC is doubled in data both ways; every other command (NOP, GA, ...)
// is taken out of the stream. A subnegotiation longer than
// kMaxSubnegotiation is dropped whole, as is one the client breaks off with
// a command other than SE.
//
// COM-PORT-OPTION: every setting the client makes is answered with the
// server's code (the command + 100) and the value that holds afterwards: the
// one set, or the one kept when the client asked for something this line
// does not do. A value of 0 asks for the setting without changing it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace odu::sim {

namespace telnet {
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kNop = 241;
inline constexpr uint8_t kGa = 249;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;
}  // namespace telnet

// Client-to-server commands of the COM-PORT-OPTION; the server answers with
// the same command + 100.
namespace com_port {
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr uint8_t kFlowRequest = 0, kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3;
inline constexpr uint8_t kBreakRequest = 4, kBreakOn = 5, kBreakOff = 6;
inline constexpr uint8_t kDtrRequest = 7, kDtrOn = 8, kDtrOff = 9;
inline constexpr uint8_t kRtsRequest = 10, kRtsOn = 11, kRtsOff = 12;
inline constexpr uint8_t kInboundRequest = 13, kInboundNone = 14, kInboundXonXoff = 15, kInboundHardware = 16;
inline constexpr uint8_t kFlowDcd = 17, kInboundDtr = 18, kFlowDsr = 19;

// PURGE-DATA values: the server's buffer of what came from the line (for
// the client), of what goes to the line (from the client), or both.
inline constexpr uint8_t kPurgeFromLine = 1, kPurgeToLine = 2, kPurgeBoth = 3;

// NOTIFY-MODEMSTATE bits: the lines the client sees, and their changes.
inline constexpr uint8_t kDeltaCts = 0x01, kDeltaDsr = 0x02, kRiTrailingEdge = 0x04, kDeltaCd = 0x08;
inline constexpr uint8_t kCts = 0x10, kDsr = 0x20, kRi = 0x40, kCd = 0x80;
}  // namespace com_port

class ComPortServer {
 public:
  static constexpr size_t kMaxSubnegotiation = 128;
  static constexpr uint32_t kMinBaud = 50;
  static constexpr uint32_t kMaxBaud = 4'000'000;

  struct Hooks {
    std::function<void(std::span<const uint8_t>)> data;  // bytes for the line, in the order sent
    std::function<void(uint32_t)> baud;                  // the client set a new line rate
    std::function<void(uint8_t)> purge;                  // a PURGE-DATA value
    std::function<void(bool dtr, bool rts)> control;     // the client's DTR or RTS changed
    std::function<uint8_t()> lines;                      // the modem lines the client sees (com_port::kCts ...)
  };

  struct Settings {
    uint32_t baud = 0;
    uint8_t data_size = 8;
    uint8_t parity = 1;     // none
    uint8_t stop_size = 1;  // one stop bit
    uint8_t flow = com_port::kFlowNone;
    uint8_t inbound_flow = com_port::kInboundNone;
    bool break_on = false;
    bool dtr = false;
    bool rts = false;
    uint8_t line_state_mask = 0;
    uint8_t modem_state_mask = 0xFF;
  };

  // `baud` is the line rate until the client sets one. Every hook is optional.
  ComPortServer(uint32_t baud, Hooks hooks);

  // What the server says as the connection opens: its offers.
  void Start(std::vector<uint8_t>& to_client);
  // Bytes from the client, in any pieces.
  void Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& to_client);
  // Looks at the modem lines again and tells the client of a change that its
  // mask lets through (the delta bits marking what changed).
  void RefreshLines(std::vector<uint8_t>& to_client);

  // `data` as Telnet data: IAC doubled.
  static void AppendData(std::span<const uint8_t> data, std::vector<uint8_t>& to_client);

  const Settings& settings() const { return settings_; }
  // The client asked the server to hold what it sends (FLOWCONTROL-SUSPEND).
  bool suspended() const { return suspended_; }
  // Subnegotiations dropped: too long, broken off, or malformed.
  uint64_t dropped() const { return dropped_; }

 private:
  enum class State { Data, Iac, Option, Sub, SubIac };
  struct Side {
    bool enabled = false;
    bool pending = false;  // asked for, no answer yet
    bool refused = false;  // refused once already
  };

  void OnCommand(uint8_t command, std::vector<uint8_t>& out);
  void OnOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);
  void OnSubnegotiation(std::vector<uint8_t>& out);
  void OnComPort(uint8_t command, std::span<const uint8_t> value, std::vector<uint8_t>& out);
  void SetControl(uint8_t value, std::vector<uint8_t>& out);
  void Answer(uint8_t command, std::span<const uint8_t> value, std::vector<uint8_t>& out);
  void Answer(uint8_t command, uint8_t value, std::vector<uint8_t>& out) { Answer(command, std::span(&value, 1), out); }
  void FlushData();

  Hooks hooks_;
  Settings settings_;
  State state_ = State::Data;
  uint8_t verb_ = 0;                 // WILL, WONT, DO or DONT awaiting its option
  std::vector<uint8_t> sub_;         // the subnegotiation being gathered, from its option byte
  bool sub_overlong_ = false;
  std::vector<uint8_t> data_;        // data of the current piece, handed on in runs
  Side local_[256];                  // the server's side of each option (WILL / WONT)
  Side remote_[256];                 // the client's side (DO / DONT)
  uint8_t lines_ = 0;                // the modem lines as last seen
  bool suspended_ = false;
  uint64_t dropped_ = 0;
};

}  // namespace odu::sim
