// The network device against a server that the test plays byte by byte on
// 127.0.0.1: what goes on the wire for each call, what the server's reports
// do, and servers that misbehave.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "platform/serial/network/serial_network.h"
#include "platform/serial/network/telnet_codec.h"

namespace odu::platform {
namespace {

using namespace std::chrono_literals;
using namespace telnet;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

// One listening socket on a free port; the test accepts and talks on it.
class Server {
 public:
  Server() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(listen_, 4), 0);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Server() {
    Hangup();
    ::close(listen_);
  }
  uint16_t port() const { return port_; }
  std::string Name(const char* scheme = "rfc2217") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

  bool Accept() {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return false;
    conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_ >= 0;
  }
  void Send(const Bytes& b) const { EXPECT_EQ(::send(conn_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
  // Exactly `n` bytes, or what came before 10 s of silence.
  Bytes Read(size_t n) const {
    Bytes out(n);
    size_t got = 0;
    while (got < n) {
      pollfd p{conn_, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) break;
      const ssize_t r = ::recv(conn_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  // True once the client has closed its side (after reading what came before).
  bool SeesEnd() const {
    uint8_t b;
    pollfd p{conn_, POLLIN, 0};
    return ::poll(&p, 1, 10000) == 1 && ::recv(conn_, &b, 1, 0) == 0;
  }
  void Hangup() {
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
  }

 private:
  int listen_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
};

Bytes ComPort(uint8_t command, Bytes value) {
  Bytes out;
  AppendComPort(out, command, value.data(), value.size());
  return out;
}

const Bytes kOffer{IAC, WILL, kBinary, IAC, DO, kBinary, IAC, WILL, kSuppressGoAhead, IAC, DO, kSuppressGoAhead,
                   IAC, WILL, kComPortOption};

class NetworkDevice : public ::testing::Test {
 protected:
  // Opens rfc2217:// against the server, which answers as ser2net does:
  // it takes the option and reports the modem lines once the mask is set.
  DeviceHandle OpenNegotiated(uint8_t modem_state = kModemCd | kModemDsr | kModemCts) {
    auto opening = std::async(std::launch::async, [&] { return NetworkSerialOpener(fast_).Open(server.Name()); });
    EXPECT_TRUE(server.Accept());
    EXPECT_EQ(server.Read(kOffer.size()), kOffer);
    server.Send({IAC, DO, kComPortOption, IAC, WILL, kBinary, IAC, DO, kBinary, IAC, WILL, kSuppressGoAhead});
    const Bytes masks = Concat(ComPort(kSetModemStateMask, {0xF0}), ComPort(kSetLineStateMask, {0x1E}));
    EXPECT_EQ(server.Read(masks.size()), masks);
    server.Send(ComPort(kServerOffset + kNotifyModemState, {modem_state}));
    return opening.get();
  }
  static Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  Server server;
  NetworkTimeouts fast_{std::chrono::milliseconds(5000), std::chrono::milliseconds(5000),
                        std::chrono::milliseconds(5000)};
};

TEST_F(NetworkDevice, EachCallGoesOutAsItsComPortCommand) {
  DeviceHandle d = OpenNegotiated();
  ASSERT_TRUE(d);
  uint32_t lines = 0;
  ASSERT_TRUE(d->GetCommModemStatus(lines));
  EXPECT_EQ(lines, MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON);

  // The window's line: 19,200 baud, 8 data bits, no parity, 1 stop bit, CTS flow control.
  Dcb dcb;
  ASSERT_TRUE(d->GetCommState(dcb));
  dcb.BaudRate = 19200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = true;
  ASSERT_TRUE(d->SetCommState(dcb));
  Bytes line = ComPort(kSetBaudRate, {0x00, 0x00, 0x4B, 0x00});
  for (const Bytes& b : {ComPort(kSetDataSize, {8}), ComPort(kSetParity, {1}), ComPort(kSetStopSize, {1}),
                         ComPort(kSetControl, {kControlHardware})}) {
    line = Concat(line, b);
  }
  EXPECT_EQ(server.Read(line.size()), line);
  // Afterwards only what changes goes out.
  struct Change {
    void (*apply)(Dcb&);
    Bytes wire;
  } changes[] = {
      {[](Dcb& c) { c.BaudRate = 115200; }, ComPort(kSetBaudRate, {0x00, 0x01, 0xC2, 0x00})},
      {[](Dcb& c) { c.ByteSize = 7; }, ComPort(kSetDataSize, {7})},
      {[](Dcb& c) { c.Parity = ODDPARITY; }, ComPort(kSetParity, {2})},
      {[](Dcb& c) { c.Parity = EVENPARITY; }, ComPort(kSetParity, {3})},
      {[](Dcb& c) { c.Parity = MARKPARITY; }, ComPort(kSetParity, {4})},
      {[](Dcb& c) { c.Parity = SPACEPARITY; }, ComPort(kSetParity, {5})},
      {[](Dcb& c) { c.StopBits = TWOSTOPBITS; }, ComPort(kSetStopSize, {2})},
      {[](Dcb& c) { c.StopBits = ONE5STOPBITS; }, ComPort(kSetStopSize, {3})},
      {[](Dcb& c) { c.fOutxCtsFlow = c.fOutxDsrFlow = false; }, ComPort(kSetControl, {kControlNoFlow})},
      {[](Dcb& c) { c.fOutX = c.fInX = true; }, ComPort(kSetControl, {kControlXonXoff})},
  };
  for (const Change& c : changes) {
    c.apply(dcb);
    ASSERT_TRUE(d->SetCommState(dcb));
    EXPECT_EQ(server.Read(c.wire.size()), c.wire);
    Dcb back;
    ASSERT_TRUE(d->GetCommState(back));
    EXPECT_EQ(back, dcb);
  }
  Dcb bad = dcb;
  bad.ByteSize = 9;
  EXPECT_FALSE(d->SetCommState(bad));
  EXPECT_EQ(GetLastError(), error::kInvalidParameter);

  const struct {
    uint32_t function;
    uint8_t control;
  } escapes[] = {{SETDTR, kControlDtrOn}, {SETRTS, kControlRtsOn}, {CLRDTR, kControlDtrOff},
                 {CLRRTS, kControlRtsOff}, {SETBREAK, kControlBreakOn}, {CLRBREAK, kControlBreakOff}};
  for (const auto& e : escapes) {
    ASSERT_TRUE(d->EscapeCommFunction(e.function));
    EXPECT_EQ(server.Read(7), ComPort(kSetControl, {e.control})) << e.function;
  }
  const struct {
    uint32_t flags;
    uint8_t value;
  } purges[] = {{PURGE_RXABORT | PURGE_RXCLEAR, kPurgeReceive}, {PURGE_TXCLEAR, kPurgeTransmit},
                {PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_TXABORT, kPurgeBoth}};
  for (const auto& p : purges) {
    ASSERT_TRUE(d->PurgeComm(p.flags));
    EXPECT_EQ(server.Read(7), ComPort(kPurgeData, {p.value})) << p.flags;
  }

  // Data: an IAC is doubled on the way out and undone on the way in.
  CommTimeouts t;
  t.ReadIntervalTimeout = kMaxDword;
  t.ReadTotalTimeoutConstant = 5000;
  t.WriteTotalTimeoutConstant = 5000;
  ASSERT_TRUE(d->SetCommTimeouts(t));
  const Bytes frame{0x5A, 0xFF, 0x01};
  uint32_t written = 0;
  ASSERT_TRUE(d->WriteFile(frame.data(), 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(server.Read(4), (Bytes{0x5A, 0xFF, 0xFF, 0x01}));
  server.Send({0x41, IAC, IAC, 0x42, IAC, NOP, 0x43, 0x44});
  uint8_t in[4] = {};
  uint32_t read = 0;
  ASSERT_TRUE(d->ReadFile(in, 4, read));
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(Bytes(in, in + 4), (Bytes{0x41, 0xFF, 0x42, 0x43}));
  uint32_t errors = 0;
  ComStat status;
  ASSERT_TRUE(d->ClearCommError(errors, status));
  EXPECT_EQ(status.cbInQue, 1u);  // 0x44 is still waiting

  // A silent line: the read returns what came once its timeout has passed.
  ASSERT_TRUE(d->PurgeComm(PURGE_RXCLEAR));
  server.Read(7);
  t.ReadTotalTimeoutConstant = 1;
  ASSERT_TRUE(d->SetCommTimeouts(t));
  ASSERT_TRUE(d->ReadFile(in, 4, read));
  EXPECT_EQ(read, 0u);

  // Closing drops DTR and RTS, then ends the connection.
  d->Close();
  const Bytes drop = Concat(ComPort(kSetControl, {kControlDtrOff}), ComPort(kSetControl, {kControlRtsOff}));
  EXPECT_EQ(server.Read(drop.size()), drop);
  EXPECT_TRUE(server.SeesEnd());
  EXPECT_FALSE(d->GetCommModemStatus(lines));
  EXPECT_EQ(GetLastError(), error::kInvalidHandle);
}

TEST_F(NetworkDevice, TheServersReportsBecomeLineEventsAndErrors) {
  DeviceHandle d = OpenNegotiated(kModemCd | kModemDsr);
  ASSERT_TRUE(d);
  ASSERT_TRUE(d->SetCommMask(EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_RXCHAR | EV_BREAK | EV_ERR | EV_TXEMPTY));
  const struct {
    Bytes report;
    uint32_t events;
    uint32_t lines;
    uint32_t errors;
  } rows[] = {
      {ComPort(kServerOffset + kNotifyModemState, {kModemCd | kModemDsr | kModemCts}), EV_CTS,
       MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON, 0},
      {ComPort(kServerOffset + kNotifyModemState, {kModemCts}), EV_DSR | EV_RLSD, MS_CTS_ON, 0},
      {ComPort(kServerOffset + kNotifyModemState, {kModemCts | kModemRing | 0x04}), EV_RING, MS_CTS_ON | MS_RING_ON, 0},
      {Bytes{0x07}, EV_RXCHAR, MS_CTS_ON | MS_RING_ON, 0},
      {ComPort(kServerOffset + kNotifyLineState, {kLineBreak}), EV_BREAK, MS_CTS_ON | MS_RING_ON, CE_BREAK},
      {ComPort(kServerOffset + kNotifyLineState, {kLineFraming | kLineParity | kLineOverrun}), EV_ERR,
       MS_CTS_ON | MS_RING_ON, CE_FRAME | CE_RXPARITY | CE_OVERRUN},
  };
  for (const auto& row : rows) {
    server.Send(row.report);
    uint32_t events = 0;
    ASSERT_TRUE(d->WaitCommEvent(events));
    EXPECT_EQ(events, row.events);
    uint32_t lines = 0;
    ASSERT_TRUE(d->GetCommModemStatus(lines));
    EXPECT_EQ(lines, row.lines);
    uint32_t errors = 0;
    ComStat status;
    ASSERT_TRUE(d->ClearCommError(errors, status));
    EXPECT_EQ(errors, row.errors);
  }
  // A write that went reports the output empty.
  const uint8_t byte = 0x5A;
  uint32_t written = 0;
  ASSERT_TRUE(d->WriteFile(&byte, 1, written));
  uint32_t events = 0;
  ASSERT_TRUE(d->WaitCommEvent(events));
  EXPECT_EQ(events, EV_TXEMPTY);
  // A pending wait ends with no events when the mask changes, and with 995
  // once cancelled, as later waits do.
  auto waiting = std::async(std::launch::async, [&] {
    uint32_t e = 0xFF;
    const bool ok = d->WaitCommEvent(e);
    return std::make_pair(ok, e);
  });
  while (waiting.wait_for(1ms) != std::future_status::ready) {
    d->SetCommMask(EV_RXCHAR);
  }
  EXPECT_EQ(waiting.get(), std::make_pair(true, 0u));
  d->CancelWait();
  EXPECT_FALSE(d->WaitCommEvent(events));
  EXPECT_EQ(GetLastError(), error::kOperationAborted);
}

TEST_F(NetworkDevice, ARawSocketCarriesBytesAsTheyAreWithTheLinesPresent) {
  auto opening = std::async(std::launch::async, [&] { return NetworkSerialOpener(fast_).Open(server.Name("socket")); });
  ASSERT_TRUE(server.Accept());
  DeviceHandle d = opening.get();
  ASSERT_TRUE(d);
  uint32_t lines = 0;
  ASSERT_TRUE(d->GetCommModemStatus(lines));
  EXPECT_EQ(lines, MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON);
  Dcb dcb;
  ASSERT_TRUE(d->GetCommState(dcb));
  dcb.BaudRate = 19200;
  ASSERT_TRUE(d->SetCommState(dcb));
  ASSERT_TRUE(d->EscapeCommFunction(SETDTR));
  ASSERT_TRUE(d->PurgeComm(PURGE_RXCLEAR));
  const Bytes frame{0xFF, IAC, SB, 0x00};
  uint32_t n = 0;
  ASSERT_TRUE(d->WriteFile(frame.data(), 4, n));
  EXPECT_EQ(server.Read(4), frame);  // nothing of the line calls, nothing doubled
  server.Send({IAC, IAC, DO});
  CommTimeouts t;
  t.ReadTotalTimeoutConstant = 5000;
  ASSERT_TRUE(d->SetCommTimeouts(t));
  uint8_t in[3];
  ASSERT_TRUE(d->ReadFile(in, 3, n));
  EXPECT_EQ(Bytes(in, in + n), (Bytes{IAC, IAC, DO}));
  d->Close();
  EXPECT_TRUE(server.SeesEnd());
}

TEST_F(NetworkDevice, ServersThatMisbehaveGiveAClearErrorAndNoHang) {
  NetworkTimeouts quick{std::chrono::milliseconds(5000), std::chrono::milliseconds(50), std::chrono::milliseconds(50)};
  const Bytes endless = [] {
    Bytes b{IAC, SB, kComPortOption};
    b.resize(100000, 0x41);
    return b;
  }();
  struct Row {
    const char* name;
    std::function<void(Server&)> play;
    uint32_t error;
  } rows[] = {
      {"never answers the negotiation", [](Server&) {}, error::kSemTimeout},
      {"refuses the COM port option", [](Server& s) { s.Send({IAC, DONT, kComPortOption}); },
       error::kNotSupported},
      {"an endless subnegotiation", [&](Server& s) { s.Send(endless); }, error::kSemTimeout},
      {"hangs up at once", [](Server& s) { s.Hangup(); }, kDeviceGoneError},
  };
  for (const Row& row : rows) {
    Server s;
    // The last error belongs to the thread that opened.
    auto opening = std::async(std::launch::async, [&] {
      const bool opened = NetworkSerialOpener(quick).Open(s.Name()) != nullptr;
      return std::make_pair(opened, GetLastError());
    });
    ASSERT_TRUE(s.Accept()) << row.name;
    EXPECT_EQ(s.Read(kOffer.size()), kOffer) << row.name;
    row.play(s);
    EXPECT_EQ(opening.get(), std::make_pair(false, row.error)) << row.name;
  }

  // Nothing listening; a name that is no network port.
  const uint16_t closed_port = [] {
    Server s;
    return s.port();
  }();
  EXPECT_EQ(NetworkSerialOpener(quick).Open("rfc2217://127.0.0.1:" + std::to_string(closed_port)), nullptr);
  EXPECT_EQ(GetLastError(), error::kConnectionRefused);
  EXPECT_EQ(NetworkSerialOpener(quick).Open("rfc2217://127.0.0.1"), nullptr);
  EXPECT_EQ(GetLastError(), error::kInvalidName);
}

TEST_F(NetworkDevice, AFloodFillsTheInputQueueOnlyAndADroppedConnectionFailsEveryCall) {
  DeviceHandle d = OpenNegotiated();
  ASSERT_TRUE(d);
  ASSERT_TRUE(d->SetupComm(4096, 4096));
  ASSERT_TRUE(d->SetCommMask(EV_ERR));
  server.Send(Bytes(1 << 20, 0x55));
  // An option the client refuses: its answer shows that it has taken in all
  // that came before.
  server.Send({IAC, DO, 1});
  EXPECT_EQ(server.Read(3), (Bytes{IAC, WONT, 1}));
  uint32_t events = 0;
  ASSERT_TRUE(d->WaitCommEvent(events));
  EXPECT_EQ(events, EV_ERR);
  uint32_t errors = 0;
  ComStat status;
  ASSERT_TRUE(d->ClearCommError(errors, status));
  EXPECT_EQ(errors, CE_RXOVER);
  EXPECT_EQ(status.cbInQue, 4096u);

  // The connection drops during a wait: what was received is read first,
  // then every call fails as on an unplugged adapter.
  auto waiting = std::async(std::launch::async, [&] {
    uint32_t e = 0;
    const bool ok = d->WaitCommEvent(e);
    return std::make_pair(ok, GetLastError());
  });
  server.Hangup();
  EXPECT_EQ(waiting.get(), std::make_pair(false, kDeviceGoneError));
  CommTimeouts t;
  t.ReadTotalTimeoutConstant = 5000;
  ASSERT_TRUE(d->SetCommTimeouts(t) || GetLastError() == kDeviceGoneError);
  std::vector<uint8_t> in(8192);
  uint32_t read = 0;
  EXPECT_FALSE(d->ReadFile(in.data(), 8192, read));
  EXPECT_EQ(read, 4096u);
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  uint32_t written = 0;
  EXPECT_FALSE(d->WriteFile(in.data(), 1, written));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  uint32_t lines = 0;
  EXPECT_FALSE(d->GetCommModemStatus(lines));
  EXPECT_FALSE(d->EscapeCommFunction(SETDTR));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
}

}  // namespace
}  // namespace odu::platform
