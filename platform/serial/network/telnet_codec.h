// The Telnet layer of a serial port reached over TCP (RFC 854, with the
// COM-PORT-OPTION of RFC 2217): a decoder that splits a received stream into
// data, option negotiations and subnegotiations, and the encoders for what
// goes the other way. Portable and free of I/O, so that it can be fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace odu::platform::telnet {

// Commands (RFC 854).
inline constexpr uint8_t SE = 240;
inline constexpr uint8_t NOP = 241;
inline constexpr uint8_t SB = 250;
inline constexpr uint8_t WILL = 251;
inline constexpr uint8_t WONT = 252;
inline constexpr uint8_t DO = 253;
inline constexpr uint8_t DONT = 254;
inline constexpr uint8_t IAC = 255;

// Options.
inline constexpr uint8_t kBinary = 0;             // RFC 856
inline constexpr uint8_t kSuppressGoAhead = 3;    // RFC 858
inline constexpr uint8_t kComPortOption = 44;     // RFC 2217

// COM-PORT-OPTION commands, client to server; the server answers each with
// the same command plus kServerOffset.
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr uint8_t kControlNoFlow = 1;
inline constexpr uint8_t kControlXonXoff = 2;
inline constexpr uint8_t kControlHardware = 3;
inline constexpr uint8_t kControlBreakOn = 5;
inline constexpr uint8_t kControlBreakOff = 6;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;

// PURGE-DATA values.
inline constexpr uint8_t kPurgeReceive = 1;   // the server's buffer of data from the line
inline constexpr uint8_t kPurgeTransmit = 2;  // its buffer of data for the line
inline constexpr uint8_t kPurgeBoth = 3;

// NOTIFY-MODEMSTATE bits: the same positions as the Windows modem status.
inline constexpr uint8_t kModemCts = 0x10;
inline constexpr uint8_t kModemDsr = 0x20;
inline constexpr uint8_t kModemRing = 0x40;
inline constexpr uint8_t kModemCd = 0x80;

// NOTIFY-LINESTATE bits.
inline constexpr uint8_t kLineOverrun = 0x02;
inline constexpr uint8_t kLineParity = 0x04;
inline constexpr uint8_t kLineFraming = 0x08;
inline constexpr uint8_t kLineBreak = 0x10;

// A subnegotiation longer than this is not one this client can use; it is
// dropped whole (the decoder keeps skipping until its IAC SE) and reported.
inline constexpr size_t kMaxSubnegotiation = 64;

class Decoder {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    // A run of data bytes, IAC IAC already undone.
    virtual void OnData(const uint8_t* data, size_t size) = 0;
    // WILL, WONT, DO or DONT for `option`.
    virtual void OnNegotiation(uint8_t verb, uint8_t option) = 0;
    // IAC SB option payload IAC SE, with doubled IACs of the payload undone.
    // `overlong` when the payload passed kMaxSubnegotiation: then it is empty.
    virtual void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size, bool overlong) = 0;
  };

  // Decodes `size` bytes, which may end anywhere: a command split over two
  // calls is completed by the next. Other commands (NOP, GA, BRK, ...) are
  // dropped; so is a lone IAC before a byte that is no command.
  void Feed(const uint8_t* data, size_t size, Sink& sink);

 private:
  enum class State : uint8_t { kData, kIac, kVerb, kSbOption, kSbData, kSbIac };
  void Append(uint8_t b, Sink& sink);  // one payload byte of a subnegotiation

  State state_ = State::kData;
  uint8_t verb_ = 0;
  uint8_t sb_option_ = 0;
  bool sb_overlong_ = false;
  std::vector<uint8_t> sb_;
};

// Appends `data` with each IAC doubled.
void AppendData(std::vector<uint8_t>& out, const uint8_t* data, size_t size);
// Appends IAC verb option.
void AppendNegotiation(std::vector<uint8_t>& out, uint8_t verb, uint8_t option);
// Appends IAC SB COM-PORT-OPTION command value IAC SE.
void AppendComPort(std::vector<uint8_t>& out, uint8_t command, const uint8_t* value, size_t size);

}  // namespace odu::platform::telnet
