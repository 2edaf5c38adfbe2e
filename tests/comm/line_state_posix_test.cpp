// The line state in termios terms, as a pure mapping: a pseudo-terminal
// keeps 8 data bits and no parity whatever it is told, so only here can a
// wrong data size, parity or stop-bit setting be seen.
#include "platform/serial/line_state_posix.h"

#include <gtest/gtest.h>

#include <functional>

namespace odu::platform::detail {
namespace {

// The port's settings for the station: 19,200 baud, 8 data bits, no
// parity, one stop bit, no handshake.
Dcb Base() {
  Dcb d;
  d.BaudRate = 19200;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kInput = IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK;
constexpr speed_t kByNumber = 0;

// Each row changes one thing of the base and names the framing bits of
// c_cflag and the handshake and parity bits of c_iflag it must leave, from
// settings that had all of them set before. What is written reads back as
// what was set: with the last setting known, exactly; from the bits alone,
// with one and a half stop bits read as two.
TEST(LineStatePosix, EachFieldOfTheLineStateLandsInItsTermiosBitsAndReadsBack) {
  const struct {
    const char* what;
    std::function<void(Dcb&)> set;
    tcflag_t cflag;
    tcflag_t iflag;
    speed_t speed;
  } rows[] = {
      {"5 data bits", [](Dcb& d) { d.ByteSize = 5; }, CS5, 0, B19200},
      {"6 data bits", [](Dcb& d) { d.ByteSize = 6; }, CS6, 0, B19200},
      {"7 data bits", [](Dcb& d) { d.ByteSize = 7; }, CS7, 0, B19200},
      {"8 data bits, no parity, one stop bit", [](Dcb&) {}, CS8, 0, B19200},
      {"odd parity", [](Dcb& d) { d.Parity = ODDPARITY; }, CS8 | PARENB | PARODD, 0, B19200},
      {"even parity", [](Dcb& d) { d.Parity = EVENPARITY; }, CS8 | PARENB, 0, B19200},
      {"mark parity", [](Dcb& d) { d.Parity = MARKPARITY; }, CS8 | PARENB | PARODD | CMSPAR, 0, B19200},
      {"space parity", [](Dcb& d) { d.Parity = SPACEPARITY; }, CS8 | PARENB | CMSPAR, 0, B19200},
      {"one and a half stop bits", [](Dcb& d) { d.StopBits = ONE5STOPBITS; }, CS8 | CSTOPB, 0, B19200},
      {"two stop bits", [](Dcb& d) { d.StopBits = TWOSTOPBITS; }, CS8 | CSTOPB, 0, B19200},
      {"CTS handshake", [](Dcb& d) { d.fOutxCtsFlow = true; }, CS8 | CRTSCTS, 0, B19200},
      {"DSR handshake, which termios has no bit for", [](Dcb& d) { d.fOutxDsrFlow = true; }, CS8, 0, B19200},
      {"XON/XOFF on output", [](Dcb& d) { d.fOutX = true; }, CS8, IXON, B19200},
      {"XON/XOFF on input", [](Dcb& d) { d.fInX = true; }, CS8, IXOFF, B19200},
      {"parity checking", [](Dcb& d) { d.fParity = true; }, CS8, INPCK, B19200},
      {"9,600 baud", [](Dcb& d) { d.BaudRate = 9600; }, CS8, 0, B9600},
      {"115,200 baud", [](Dcb& d) { d.BaudRate = 115200; }, CS8, 0, B115200},
      {"14,400 baud, which has no B-constant", [](Dcb& d) { d.BaudRate = 14400; }, CS8, 0, kByNumber},
  };
  for (const auto& row : rows) {
    Dcb d = Base();
    row.set(d);
    termios t{};
    t.c_cflag = kFraming | CIBAUD;
    t.c_iflag = kInput;
    cfsetospeed(&t, B50);
    cfsetispeed(&t, B50);
    ASSERT_TRUE(ValidState(d)) << row.what;

    const bool speed_set = ApplyState(d, t);
    EXPECT_EQ(t.c_cflag & kFraming, row.cflag) << row.what;
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD) << row.what;
    EXPECT_EQ(t.c_iflag & kInput, row.iflag) << row.what;
    EXPECT_EQ(t.c_cc[VSTART], 0x11) << row.what;
    EXPECT_EQ(t.c_cc[VSTOP], 0x13) << row.what;
    EXPECT_EQ(speed_set, row.speed != kByNumber) << row.what;
    if (speed_set) {
      EXPECT_EQ(cfgetospeed(&t), row.speed) << row.what;
      EXPECT_EQ(cfgetispeed(&t), row.speed) << row.what;
      EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << row.what;  // the input follows the output
    }

    EXPECT_EQ(ReportedState(d, t, d.BaudRate), d) << row.what;
    Dcb from_bits = d;
    if (from_bits.StopBits == ONE5STOPBITS) from_bits.StopBits = TWOSTOPBITS;
    from_bits.fOutxDsrFlow = false;  // kept only from the last setting
    EXPECT_EQ(ReportedState(Base(), t, d.BaudRate), from_bits) << row.what;
  }
}

// A speed the driver rounded is the speed that was set; a speed of 0 (a
// hung-up line, or none known) leaves the last one; what termios cannot hold
// is refused before anything is written.
TEST(LineStatePosix, SpeedsRoundTripAndSettingsTermiosCannotHoldAreRefused) {
  const Dcb base = Base();
  termios t{};
  ApplyState(base, t);
  EXPECT_EQ(ReportedState(base, t, 19231).BaudRate, 19200u);  // within 2%
  EXPECT_EQ(ReportedState(base, t, 0).BaudRate, 19200u);
  EXPECT_EQ(ReportedState(base, t, 38400).BaudRate, 38400u);
  EXPECT_EQ(BaudOfCode(B19200), 19200u);
  EXPECT_EQ(SpeedCode(19201), std::nullopt);

  const std::function<void(Dcb&)> refused[] = {
      [](Dcb& d) { d.ByteSize = 4; },    [](Dcb& d) { d.ByteSize = 9; },
      [](Dcb& d) { d.Parity = 5; },      [](Dcb& d) { d.StopBits = 3; },
      [](Dcb& d) { d.BaudRate = 0; },
  };
  for (size_t i = 0; i < std::size(refused); ++i) {
    Dcb d = base;
    refused[i](d);
    EXPECT_FALSE(ValidState(d)) << "row " << i;
  }
}

}  // namespace
}  // namespace odu::platform::detail
