#include "sim/station.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "tests/sim/sim_test_util.h"

namespace odu::sim::testing {
namespace {

using platform::Millis;

constexpr Nanos kProcessing = Millis(2);

StationConfig WithProcessing(StationConfig c = {}) {
  c.processing = kProcessing;
  return c;
}

// Sends `frame` whole at `now` and returns the station's answer.
std::vector<Output> Send(Station& s, const Bytes& frame, Nanos now) { return s.Receive(frame, now); }

TEST(StationTest, AnswersTheInitialisationFrameAsConfigured) {
  struct Row {
    StationConfig::Init init;
    Bytes answer;
    Nanos at;
  };
  const Nanos t = Millis(1000);
  const Row rows[] = {
      {StationConfig::Init::Accept, Status(0x0C), t + kProcessing},
      {StationConfig::Init::Refuse, Status(0x33), t + kProcessing},
      {StationConfig::Init::Silent, {}, {}},
      {StationConfig::Init::Echo, InitFrame(), t},  // a loopback plug has no processing delay
  };
  for (const auto& row : rows) {
    StationConfig c = WithProcessing();
    c.init = row.init;
    c.refuse_status = 0x33;
    Station s(c);
    const auto out = Send(s, InitFrame(), t);
    EXPECT_EQ(Joined(out), row.answer) << static_cast<int>(row.init);
    if (!row.answer.empty()) {
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].at, row.at);
    }
  }
}

TEST(StationTest, EchoModeReturnsEveryByteUnparsed) {
  StationConfig c;
  c.init = StationConfig::Init::Echo;
  Station s(c);
  const Bytes noise{0x01, 0x5A, 0xFF};
  EXPECT_EQ(Joined(s.Receive(noise, Millis(5))), noise);
  EXPECT_EQ(Joined(Send(s, RecordFrame(kErase), Millis(6))), RecordFrame(kErase));
  EXPECT_FALSE(s.Erased());
}

TEST(StationTest, AProgrammingSessionLeavesTheImageInFlash) {
  const std::vector<std::string> data = {
      DataRecord(0x0000, {0x02, 0x20, 0xBB, 0xA2, 0x14, 0x92, 0xB4, 0x12, 0x28, 0x85, 0x22, 0x02, 0x27, 0xFA, 0xC2, 0xB7}),
      DataRecord(0x0010, {0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
      DataRecord(0xFFF0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
  };
  Station s;
  Nanos t = Millis(0);
  std::vector<std::string> session = {kErase};
  session.insert(session.end(), data.begin(), data.end());
  session.insert(session.end(), {kClose1, kClose2, kClose3});
  for (const auto& record : session) {
    EXPECT_FALSE(s.Finished()) << record;
    const auto out = Send(s, RecordFrame(record), t += Millis(10));
    ASSERT_EQ(out.size(), 1u) << record;
    EXPECT_EQ(out[0].bytes, kAck) << record;
    EXPECT_TRUE(out[0].ends_ack);
  }
  EXPECT_TRUE(s.Finished());
  EXPECT_TRUE(s.Erased());

  std::array<uint8_t, 65536> expected;
  const std::vector<std::string_view> lines(data.begin(), data.end());
  ASSERT_TRUE(FlashFromHex(lines, expected));
  EXPECT_EQ(s.Flash(), expected);
  EXPECT_EQ(s.stats().records, 7);
  EXPECT_EQ(s.stats().acknowledged, 7);
}

TEST(StationTest, RefusesRecordsItCannotCarryOut) {
  const std::string good = DataRecord(0x0100, {0xAA, 0xBB});
  std::string bad_checksum = good;
  bad_checksum.back() = bad_checksum.back() == '0' ? '1' : '0';
  struct Row {
    const char* what;
    bool erase_first;
    std::string record;
    uint8_t status;
  };
  const Row rows[] = {
      {"data before the erase", false, good, kRefuseNotErased},
      {"bad record checksum", true, bad_checksum, kRefuseBadRecord},
      {"past the end of the flash", true, DataRecord(0xFFF8, Bytes(9, 0x11)), kRefuseOutOfRange},
      {"no colon", true, good.substr(1), kRefuseBadRecord},
      {"count longer than the data", true, ":03010000AABB00", kRefuseBadRecord},
      {"not hexadecimal", true, ":02010000AXBB98", kRefuseBadRecord},
      {"end record", true, ":00000001FF", kRefuseUnknown},
      {"unknown command", true, ":0100000309F3", kRefuseUnknown},
      {"empty", true, "", kRefuseBadRecord},
  };
  for (const auto& row : rows) {
    Station s;
    if (row.erase_first) Send(s, RecordFrame(kErase), Millis(1));
    const auto before = s.Flash();
    EXPECT_EQ(Joined(Send(s, RecordFrame(row.record), Millis(20))), Status(row.status)) << row.what;
    EXPECT_EQ(s.Flash(), before) << row.what;
    EXPECT_EQ(s.stats().refused, 1) << row.what;
  }
}

TEST(StationTest, AcceptsLowercaseAndReSentRecords) {
  Station s;
  Send(s, RecordFrame(kErase), Millis(1));
  std::string lower = DataRecord(0x0020, {0xAB, 0xCD});
  for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(Joined(Send(s, RecordFrame(lower), Millis(2))), kAck);
  EXPECT_EQ(Joined(Send(s, RecordFrame(lower), Millis(3))), kAck);
  EXPECT_EQ(s.Flash()[0x20], 0xAB);
  EXPECT_EQ(s.Flash()[0x21], 0xCD);
  EXPECT_EQ(s.stats().records, 3);
  EXPECT_EQ(s.stats().commands, 2);
}

TEST(StationTest, FramingFaultsFromTheTool) {
  // A whole frame with a bad checksum is refused; a frame whose length byte
  // no frame can have is dropped unanswered, and the next one is read.
  Station s;
  Bytes bad = RecordFrame(kErase);
  bad.back() ^= 0x01;
  EXPECT_EQ(Joined(Send(s, bad, Millis(1))), Status(kRefuseBadFrame));
  EXPECT_FALSE(s.Erased());

  EXPECT_TRUE(s.Receive(Bytes{0x5A, 0x03}, Millis(2)).empty());
  EXPECT_TRUE(s.Receive(Bytes{0x5A, 0x80}, Millis(3)).empty());
  EXPECT_EQ(Joined(Send(s, InitFrame(), Millis(4))), Status(0x0C));
  EXPECT_EQ(s.stats().bad_frames, 3);

  EXPECT_EQ(Joined(Send(s, Frame(0x77, "x"), Millis(5))), Status(kRefuseUnknown));
}

TEST(StationTest, ResynchronisesOnTheStartByte) {
  Station s;
  Bytes noisy{0x00, 0xFF, 0x13, 0xA5};
  const Bytes frame = InitFrame();
  noisy.insert(noisy.end(), frame.begin(), frame.end());
  EXPECT_EQ(Joined(s.Receive(noisy, Millis(1))), Status(0x0C));
}

TEST(StationTest, AFrameMustCompleteWithinTheFrameWindow) {
  const Bytes frame = RecordFrame(kErase);
  const std::span<const uint8_t> head(frame.data(), 5), tail(frame.data() + 5, frame.size() - 5);
  {
    Station s;
    EXPECT_TRUE(s.Receive(head, Millis(100)).empty());
    const auto out = s.Receive(tail, Millis(250));  // 150 ms after its 0x5A: still in time
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].at, Millis(250));
    EXPECT_TRUE(s.Erased());
  }
  {
    Station s;
    EXPECT_TRUE(s.Receive(head, Millis(100)).empty());
    EXPECT_TRUE(s.Receive(tail, Millis(251)).empty());
    EXPECT_FALSE(s.Erased());
    EXPECT_EQ(Joined(Send(s, frame, Millis(300))), kAck);
  }
}

// The station after the erase (command 0), with `fault` on command 1, a
// data record received at kT. What it answers, and the station.
struct FaultCase {
  Station station;
  std::vector<Output> out;
};
constexpr Nanos kT = Millis(5000);
const std::string kData = DataRecord(0x0040, {0x12, 0x34, 0x56});

FaultCase RunFault(Fault fault, int command = 1) {
  StationConfig c = WithProcessing();
  c.faults[command] = fault;
  FaultCase fc{Station(c), {}};
  if (command == 1) Send(fc.station, RecordFrame(kErase), Millis(10));
  fc.out = Send(fc.station, RecordFrame(command == 1 ? kData : kErase), kT);
  return fc;
}

TEST(StationTest, EachFaultShapesTheReply) {
  const Nanos at = kT + kProcessing;
  struct Row {
    Fault fault;
    std::function<void(const FaultCase&)> check;
  };
  const Row rows[] = {
      {Fault::Drop,
       [](const FaultCase& c) {
         EXPECT_TRUE(c.out.empty());
         EXPECT_EQ(c.station.Flash()[0x40], 0x12);  // carried out; only the reply is lost
       }},
      {Fault::Corrupt,
       [&](const FaultCase& c) {
         ASSERT_EQ(c.out.size(), 1u);
         const Bytes& b = c.out[0].bytes;
         ASSERT_EQ(b.size(), kAck.size());
         EXPECT_EQ(b[0], 0x5A);
         EXPECT_EQ(b[1], 7);
         EXPECT_FALSE(FrameChecksumHolds(b.data()));
         int bits = 0;
         for (size_t i = 0; i < b.size(); ++i) bits += __builtin_popcount(b[i] ^ kAck[i]);
         EXPECT_EQ(bits, 1);
         EXPECT_EQ(c.out[0].at, at);
         EXPECT_FALSE(c.out[0].ends_ack);
       }},
      {Fault::Refuse,
       [&](const FaultCase& c) {
         EXPECT_EQ(Joined(c.out), Status(0x0B));
         EXPECT_EQ(c.station.Flash()[0x40], 0xFF);  // not carried out
       }},
      {Fault::Delay,
       [&](const FaultCase& c) {
         ASSERT_EQ(c.out.size(), 1u);
         EXPECT_EQ(c.out[0].bytes, kAck);
         EXPECT_EQ(c.out[0].at, at + Millis(500));
       }},
      {Fault::LateTimeout,
       [&](const FaultCase& c) {
         ASSERT_EQ(c.out.size(), 1u);
         EXPECT_EQ(c.out[0].at, at + Millis(1200));
       }},
      {Fault::Split,
       [&](const FaultCase& c) {
         ASSERT_EQ(c.out.size(), 2u);
         EXPECT_EQ(Joined(c.out), kAck);
         EXPECT_EQ(c.out[0].at, at);
         EXPECT_EQ(c.out[1].at, at + Millis(50));
         EXPECT_TRUE(c.out[1].ends_ack);
       }},
      {Fault::SplitSlow,
       [&](const FaultCase& c) {
         ASSERT_EQ(c.out.size(), 2u);
         EXPECT_EQ(Joined(c.out), kAck);
         EXPECT_EQ(c.out[1].at, at + Millis(300));
       }},
      {Fault::Noise,
       [&](const FaultCase& c) {
         ASSERT_EQ(c.out.size(), 1u);
         const Bytes& b = c.out[0].bytes;
         ASSERT_GE(b.size(), kAck.size() + 1);
         ASSERT_LE(b.size(), kAck.size() + 4);
         const size_t noise = b.size() - kAck.size();
         for (size_t i = 0; i < noise; ++i) EXPECT_NE(b[i], 0x5A);
         EXPECT_EQ(Bytes(b.begin() + static_cast<std::ptrdiff_t>(noise), b.end()), kAck);
       }},
      {Fault::Stall,
       [](const FaultCase& c) {
         EXPECT_TRUE(c.out.empty());
         EXPECT_TRUE(c.station.Stalled());
         EXPECT_EQ(c.station.Flash()[0x40], 0xFF);
       }},
      {Fault::Vanish,
       [](const FaultCase& c) {
         EXPECT_TRUE(c.out.empty());
         EXPECT_TRUE(c.station.Vanished());
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(FaultName(row.fault));
    FaultCase c = RunFault(row.fault);
    row.check(c);
    EXPECT_EQ(c.station.stats().faults, 1);
    // Only command 1 is hit: the next command is answered normally, unless
    // the station has stopped answering altogether.
    const auto next = Send(c.station, RecordFrame(kClose1), kT + Millis(3000));
    EXPECT_EQ(Joined(next), c.station.Stalled() || c.station.Vanished() ? Bytes{} : kAck);
  }
}

TEST(StationTest, ALateEraseReplyOverrunsTheEraseTimeout) {
  FaultCase c = RunFault(Fault::LateTimeout, 0);
  ASSERT_EQ(c.out.size(), 1u);
  EXPECT_EQ(c.out[0].at, kT + kProcessing + Millis(10200));
  EXPECT_EQ(c.out[0].bytes, kAck);
}

TEST(StationTest, AFaultHitsAReSentCommandOnlyWhenAskedTo) {
  for (const bool every_time : {false, true}) {
    StationConfig c;
    c.faults[1] = Fault::Refuse;
    c.faults_first_time_only = !every_time;
    Station s(c);
    Send(s, RecordFrame(kErase), Millis(1));
    EXPECT_EQ(Joined(Send(s, RecordFrame(kData), Millis(2))), Status(0x0B));
    EXPECT_EQ(Joined(Send(s, RecordFrame(kData), Millis(3))), every_time ? Status(0x0B) : kAck) << every_time;
    EXPECT_EQ(s.stats().commands, 2);
    // The next new record is command 2, which has no fault.
    EXPECT_EQ(Joined(Send(s, RecordFrame(kClose1), Millis(4))), kAck);
  }
}

TEST(StationTest, RandomFaultsFollowTheSeed) {
  auto run = [](uint64_t seed, double rate) {
    StationConfig c;
    c.seed = seed;
    c.fault_rate = rate;
    Station s(c);
    std::vector<std::pair<Nanos, Bytes>> answers;
    Nanos t = Millis(0);
    for (int i = 0; i < 60; ++i) {
      const std::string record = i == 0 ? kErase : DataRecord(static_cast<uint16_t>(16 * i), Bytes(16, static_cast<uint8_t>(i)));
      for (const auto& o : Send(s, RecordFrame(record), t += Millis(20))) answers.emplace_back(o.at, o.bytes);
    }
    return std::make_pair(answers, s.stats().faults);
  };
  const auto a = run(7, 0.3);
  EXPECT_EQ(run(7, 0.3), a);
  EXPECT_GT(a.second, 5);
  EXPECT_LT(a.second, 40);
  EXPECT_NE(run(8, 0.3).first, a.first);
  EXPECT_EQ(run(7, 0.0).second, 0);
}

TEST(StationTest, RandomFaultsDrawOnlyTheChosenKinds) {
  StationConfig c;
  c.fault_rate = 1.0;
  c.random_kinds = {Fault::Refuse};
  Station s(c);
  EXPECT_EQ(Joined(Send(s, RecordFrame(kErase), Millis(1))), Status(0x0B));
  EXPECT_EQ(Joined(Send(s, RecordFrame(kErase), Millis(2))), Status(0x0B));
  EXPECT_FALSE(s.Erased());
}

TEST(StationTest, FlashFromHexNamesTheBadLine) {
  std::array<uint8_t, 65536> flash;
  const std::string good = DataRecord(0x0010, {0x01});
  // The third line is well formed but runs past 0xFFFF.
  const std::vector<std::string_view> lines = {good, ":00000001FF", ":02FFFF00AABB9B"};
  size_t bad = 0;
  EXPECT_FALSE(FlashFromHex(lines, flash, &bad));
  EXPECT_EQ(bad, 3u);
  EXPECT_TRUE(FlashFromHex(std::span(lines).first(2), flash, &bad));
  EXPECT_EQ(flash[0x10], 0x01);
  EXPECT_EQ(flash[0x11], 0xFF);
}

}  // namespace
}  // namespace odu::sim::testing
