#include "app_fixture.h"

namespace odu::testing {
namespace {

using Handshake = AppFixture;

TEST_F(Handshake, NoPortsReportsTheStationNotFoundAtOnce) {
  ClickStart();
  EXPECT_EQ(Boxes(), (std::vector<std::pair<std::string, std::string>>{{"Station ORVELA not found.", "Hardware error."}}));
  EXPECT_EQ(toolkit.boxes()[0].opened_at, Nanos(0));
  EXPECT_TRUE(panel->Button1->Enabled());
  EXPECT_EQ(panel->StaticText1->Caption(), "");
  EXPECT_FALSE(panel->Port->Connected());
}

// The scan tries each port in turn and ends at the first that answers as a
// station: four attempts on the first port that gets as far as an attempt,
// one on every later one, none on a port without carrier.
TEST_F(Handshake, TheAttemptCounterIsSharedByTheWholeScan) {
  struct Row {
    const char* name;
    // Per port: 0 no carrier, 1 silent, 2 station, 3 station whose first
    // reply is corrupt.
    std::vector<int> ports;
    std::vector<size_t> frames;
    size_t opened;            // ports opened by each start, in list order
    bool found;               // the last port opened is kept open
    int64_t stop_at_ms = -1;  // the scan is asked to stop from then on
    int starts = 1;           // Start clicked this often, the scans run back to back
  };
  const Row rows[] = {
      {"silent then station", {1, 2}, {4, 1}, 2, true},
      {"two silent ports", {1, 1}, {4, 1}, 2, false},
      {"no carrier, then two silent ports", {0, 1, 1}, {0, 4, 1}, 3, false},
      {"three silent ports", {1, 1, 1}, {4, 1, 1}, 3, false},
      {"station first", {2, 1}, {1, 0}, 1, true},
      // The names listed after the station's port are never opened.
      {"no carrier, station, then a silent port", {0, 2, 1}, {0, 1, 0}, 2, true},
      // The retry goes out on the port already open, without raising DTR and
      // RTS again.
      {"a corrupt reply is retried on the same port", {3}, {2}, 1, true},
      // A second Start repeats the whole scan, the four attempts included.
      {"a second start", {1, 1}, {8, 2}, 2, false, -1, 2},
      // Stopped (the command line's interrupt) during a read: no further
      // frame and no further port, no box.
      {"stopped during the first read", {1, 1, 2}, {1, 0, 0}, 1, false, 500},
      {"stopped during the second port's read", {1, 1, 2}, {4, 1, 0}, 2, false, 4500},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A fresh set of ports for each row.
    ResetPorts();
    for (size_t i = 0; i < row.ports.size(); ++i) {
      const std::string name = std::string(row.name) + std::to_string(i);
      const int kind = row.ports[i];
      if (kind == 0 || kind == 1) {
        AddPort(name, kind == 1);
        continue;
      }
      FarEnd& end = AddStation(name);
      if (kind == 3)
        end.on_frame = [](FarEnd& self, const Bytes&) {
          Bytes reply = kUpgradeAccepted;
          // The emptiness check is for GCC 12 at -O3, which otherwise warns of
          // a write before the start of the copy.
          if (self.frames.size() == 1 && !reply.empty()) reply.back() ^= 1;
          self.Send(reply);
        };
    }
    const size_t boxes = toolkit.boxes().size();
    const Nanos stop_at = clock.Now() + Millis(row.stop_at_ms);
    panel->StopScan = [&] { return row.stop_at_ms >= 0 && clock.Now() >= stop_at; };
    for (int s = 0; s < row.starts; ++s) ClickStart();
    for (size_t i = 0; i < row.frames.size(); ++i) EXPECT_EQ(Frames(names[i]), row.frames[i]) << "port " << i;
    EXPECT_EQ(panel->Port->Connected(), row.found);
    std::vector<std::string> opened;
    for (int s = 0; s < row.starts; ++s) opened.insert(opened.end(), names.begin(), names.begin() + row.opened);
    EXPECT_EQ(opener.opened(), opened);
    if (row.stop_at_ms >= 0) {
      EXPECT_EQ(toolkit.boxes().size(), boxes);
      EXPECT_TRUE(panel->Button1->Enabled());
      EXPECT_EQ(panel->StaticText1->Caption(), "");
    } else if (row.found) {
      const std::string& station = names[row.opened - 1];
      EXPECT_EQ(panel->Port->PortName(), station);
      EXPECT_EQ(ends.at(station)->modem().LineCalls(0), 2u);  // DTR and RTS, once
      EXPECT_EQ(toolkit.boxes().size(), boxes);
      EXPECT_EQ(panel->Step, 1);
      EXPECT_EQ(panel->StaticText1->Caption(), "Erase processor...");
      AbandonRun();
    } else {
      ASSERT_EQ(toolkit.boxes().size(), boxes + static_cast<size_t>(row.starts));
      for (size_t b = boxes; b < toolkit.boxes().size(); ++b)
        EXPECT_EQ(toolkit.boxes()[b].text, "Station ORVELA not found.") << "box " << b;
    }
  }
}

TEST_F(Handshake, TheScanMakesTheseDeviceCallsInThisOrder) {
  AddPort("COM1", false);                     // no carrier
  AddPort("COM2").modem().SetCarrier(0, false);  // DSR and CTS, but no carrier
  AddPort("COM3");                            // carrier, silent
  AddPort("COM4");                            // carrier, silent
  AddStation("COM5");
  AddPort("COM6");                            // after the station: never opened
  names.insert(names.begin(), "COM0");        // no such device
  panel->Port->SetOpener(&recorder);
  ClickStart();

  // Every open applies the window's line settings: 19,200 baud, 8 data bits,
  // no parity, one stop bit, output handshake on CTS and DSR.
  const std::vector<std::string> opened = {"line 19200 8N1 cts dsr", "raise DTR", "raise RTS", "modem status"};
  const std::vector<std::string> attempt = {"purge input", "write 5A 0A 00 F3 30 30 30 30 FD E9", "read 10"};
  std::vector<std::string> expected = {"open COM0 failed"};
  auto port = [&](const std::string& name, int attempts, bool closed) {
    expected.push_back("open " + name);
    expected.insert(expected.end(), opened.begin(), opened.end());
    for (int i = 0; i < attempts; ++i) expected.insert(expected.end(), attempt.begin(), attempt.end());
    if (closed) expected.push_back("close");
  };
  port("COM1", 0, true);
  port("COM2", 0, true);
  port("COM3", 4, true);  // the first port that gets as far as an attempt has four
  port("COM4", 1, true);  // every later one has one
  port("COM5", 1, false);
  EXPECT_EQ(recorder.calls, expected);
  EXPECT_TRUE(panel->Port->Connected());
  EXPECT_EQ(panel->Port->PortName(), "COM5");
  EXPECT_EQ(panel->Step, 1);
  EXPECT_TRUE(toolkit.boxes().empty());
}

TEST_F(Handshake, EveryAttemptCostsTheWriteAndReadTimeoutsOfASilentPort) {
  AddPort("COM1");
  ClickStart();
  // Four attempts, each waiting out the one-second read timeout.
  EXPECT_EQ(clock.Now(), Millis(4000));
  EXPECT_EQ(ends["COM1"]->frames[0], Bytes(std::begin(kInitFrame), std::end(kInitFrame)));
}

struct ReplyCase {
  const char* name;
  Bytes reply;
  const char* verdict;  // "OK" starts the run
};

TEST_F(Handshake, TheStationsAnswerGivesTheVerdict) {
  // Length 7 with 0xA2: byte 5 is the checksum's high byte, judged all the
  // same. With five bytes summed it is 0xFA or more, so never 0x0C.
  Bytes seven{0x5A, 0x07, 0x00, 0x00, 0xA2};
  const uint16_t sum7 = FrameChecksum(seven.data(), 5);
  seven.push_back(static_cast<uint8_t>(sum7 >> 8));
  seven.push_back(static_cast<uint8_t>(sum7 & 0xFF));

  const ReplyCase cases[] = {
      {"status 0x0C", Frame({0x00, 0x00, 0xA2, 0x0C}), "OK"},
      {"another status", Frame({0x00, 0x00, 0xA2, 0x0B}), "Station upgrade not supported."},
      {"status with length 9", Frame({0x00, 0x00, 0xA2, 0x0B, 0x00}), "OK"},
      {"status with length 7", seven, "Station upgrade not supported."},
      {"another answer", Frame({0x00, 0x00, 0x17, 0x0B}), "OK"},
      {"loopback plug", Bytes(std::begin(kInitFrame), std::end(kInitFrame)), "OK"},
  };
  int i = 0;
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "COM" + std::to_string(++i);
    names.clear();
    FarEnd& end = AddPort(name);
    end.on_frame = [reply = c.reply](FarEnd& self, const Bytes&) { self.Send(reply); };
    const size_t boxes = toolkit.boxes().size();
    ClickStart();
    EXPECT_EQ(end.frames.size(), 1u);
    if (std::string(c.verdict) == "OK") {
      EXPECT_TRUE(panel->Port->Connected());
      EXPECT_EQ(panel->Step, 1);
      EXPECT_EQ(toolkit.boxes().size(), boxes);
      AbandonRun();
    } else {
      ASSERT_EQ(toolkit.boxes().size(), boxes + 1);
      EXPECT_EQ(toolkit.boxes().back().text, c.verdict);
      EXPECT_EQ(toolkit.boxes().back().caption, "Initialize error.");
      EXPECT_FALSE(panel->Port->Connected());
      EXPECT_TRUE(panel->Button1->Enabled());
      EXPECT_EQ(panel->StaticText1->Caption(), "");
    }
  }
}

TEST_F(Handshake, BytesLeftFromAnEarlierAttemptNeverCompleteAShortReply) {
  // The first answer is a whole frame but for its start byte; the later
  // ones are only the start byte, which the rest of the first would complete
  // in a buffer that is not cleared between reads.
  FarEnd& end = AddPort("COM1");
  end.on_frame = [](FarEnd& self, const Bytes&) {
    const Bytes& reply = kUpgradeAccepted;
    if (self.frames.size() == 1) {
      Bytes garbled = reply;
      garbled[0] = 0x00;  // everything but the start byte
      self.Send(garbled);
    } else {
      self.Send(Bytes(reply.begin(), reply.begin() + 1));
    }
  };
  ClickStart();
  EXPECT_FALSE(panel->Port->Connected());
  EXPECT_EQ(end.frames.size(), 4u);
  EXPECT_EQ(toolkit.boxes().back().text, "Station ORVELA not found.");
}

// `frame` with byte `at` set to `value`, its checksum left as it was.
Bytes Changed(Bytes frame, size_t at, int value) {
  frame[at] = static_cast<uint8_t>(value);
  return frame;
}
// The same, with the checksum made to fit again.
Bytes Resealed(Bytes frame, size_t at, int value) { return Sealed(Changed(std::move(frame), at, value)); }

TEST(StationFrame, FramesCarryTheirLengthZeroCommandPayloadAndChecksumHighByteFirst) {
  uint8_t out[256];
  const uint8_t zeros[4] = {'0', '0', '0', '0'};
  ASSERT_EQ(BuildFrame(0xF3, zeros, 4, out), 10u);
  const Bytes init{0x5A, 0x0A, 0x00, 0xF3, 0x30, 0x30, 0x30, 0x30, 0xFD, 0xE9};
  EXPECT_EQ(Bytes(out, out + 10), init);
  EXPECT_EQ(Bytes(std::begin(kInitFrame), std::end(kInitFrame)), init);

  struct Row {
    size_t payload;
    size_t frame;  // 0: no frame can carry it (the length byte is read as signed)
  };
  const Row rows[] = {{0, 6}, {13, 19}, {43, 49}, {120, 126}, {121, 127}, {122, 0}, {200, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.payload);
    std::vector<uint8_t> payload(r.payload);
    for (size_t i = 0; i < r.payload; ++i) payload[i] = static_cast<uint8_t>(0xC0 + i);
    std::fill(std::begin(out), std::end(out), 0xEE);
    ASSERT_EQ(BuildFrame(0xF5, payload.data(), r.payload, out), r.frame);
    if (r.frame == 0) continue;
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x5A, static_cast<uint8_t>(r.frame), 0x00, 0xF5}));
    EXPECT_EQ(Bytes(out + 4, out + 4 + r.payload), payload);
    uint32_t sum = 0;
    for (size_t i = 0; i < r.payload + 4; ++i) sum += out[i];
    EXPECT_EQ((sum + 256u * out[r.payload + 4] + out[r.payload + 5]) & 0xFFFF, 0u);
    EXPECT_TRUE(FrameChecksumHolds(out));
  }
}

TEST(StationReply, LengthsOutsideTheTenBytesReadOrBeyondWhatCameAreNoReply) {
  struct Row {
    const char* name;
    Bytes bytes;
    int count;
    bool valid;
  };
  const Bytes ok = Frame({0x00, 0x00, 0xA2, 0x0C});
  const Row rows[] = {
      {"whole", ok, 8, true},
      {"read short of its length", ok, 7, false},
      {"read nothing", ok, 0, false},
      {"read failed", ok, -1, false},
      {"length 1", {0x5A, 0x01}, 10, false},
      {"length 0", {0x5A, 0x00}, 10, false},
      {"length 11", {0x5A, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0}, 10, false},
      {"length 255", {0x5A, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}, 10, false},
      {"no start byte", {0x5B, 0x08, 0, 0, 0xA2, 0x0C}, 10, false},
      {"another start byte, checksum valid", Resealed(ok, 0, 0x5B), 10, false},
      {"checksum high byte wrong", Changed(ok, 6, ok[6] ^ 0x01), 8, false},
      {"checksum low byte wrong", Changed(ok, 7, ok[7] ^ 0x80), 8, false},
      {"last byte before the checksum changed", Changed(ok, 5, 0x0D), 8, false},
  };
  for (const Row& r : rows) {
    uint8_t buf[10] = {};
    std::copy_n(r.bytes.begin(), std::min<size_t>(10, r.bytes.size()), buf);
    std::string verdict = "unchanged";
    EXPECT_EQ(CheckStationReply(buf, r.count, verdict), r.valid) << r.name;
    if (!r.valid) {
      EXPECT_EQ(verdict, "unchanged") << r.name;
    }
  }
}

}  // namespace
}  // namespace odu::testing
