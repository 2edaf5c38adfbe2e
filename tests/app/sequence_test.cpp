#include <gtest/gtest.h>

#include <set>

#include "app_fixture.h"

namespace odu::testing {
namespace {

std::string Payload(const Bytes& frame) { return std::string(frame.begin() + 4, frame.end() - 2); }

// Records every text the status line shows.
class CaptionLog : public ControlPeer {
 public:
  explicit CaptionLog(TControl& c) : control_(c) {}
  void Changed() override {
    if (texts.empty() || texts.back() != control_.Caption()) texts.push_back(control_.Caption());
  }
  void Repaint() override {}
  std::vector<std::string> texts;

 private:
  TControl& control_;
};

class Sequence : public AppFixture {
 protected:
  Sequence() {
    auto log = std::make_unique<CaptionLog>(*panel->StaticText1);
    status = log.get();
    panel->StaticText1->SetPeer(std::move(log));
  }

  // A station on COM1 whose bootloader answers each record as `answer`
  // decides: with the record's text and how often it came, it sends bytes
  // (after 2 ms) or nothing.
  FarEnd& Station(std::function<std::optional<Bytes>(const std::string& record, int seen)> answer) {
    FarEnd& end = AddPort("COM1");
    end.on_frame = [this, answer](FarEnd& self, const Bytes& frame) {
      if (frame[3] == 0xF3) return self.Send(kUpgradeAccepted);
      const std::string record = Payload(frame);
      records.push_back(record);
      if (auto reply = answer(record, ++seen[record])) self.Send(*reply);
    };
    return end;
  }
  static std::optional<Bytes> Ack(const std::string&, int) { return kAck; }

  void ExpectDone() {
    EXPECT_EQ(panel->StaticText1->Caption(), "Done.");
    EXPECT_FALSE(panel->Port->Connected());
    EXPECT_TRUE(panel->Button1->Enabled());
    EXPECT_EQ(panel->ProgressBar1->Position(), 0);
    EXPECT_TRUE(toolkit.boxes().empty());
    EXPECT_EQ(panel->Step, 0);
    EXPECT_EQ(panel->Status, "OK");
  }
  void ExpectFailed(const std::string& message) {
    ASSERT_EQ(toolkit.boxes().size(), 1u);
    EXPECT_EQ(toolkit.boxes()[0].text, message);
    EXPECT_EQ(toolkit.boxes()[0].caption, "Upgrade error.");
    EXPECT_FALSE(panel->Port->Connected());
    EXPECT_TRUE(panel->Button1->Enabled());
    EXPECT_EQ(panel->StaticText1->Caption(), "");
    EXPECT_EQ(panel->ProgressBar1->Position(), 0);
    EXPECT_EQ(panel->Status, "OK");
    EXPECT_EQ(panel->Step, 0);
  }

  CaptionLog* status = nullptr;
  std::vector<std::string> records;
  std::map<std::string, int> seen;
};

constexpr const char* kErase = ":0100000307F5";
constexpr const char* kClose1 = ":03000003060000F4";
constexpr const char* kClose2 = ":020000030501F5";
constexpr const char* kClose3 = ":00000008F8";

TEST_F(Sequence, TheEmbeddedImageGoesOutAs650RecordsBetweenEraseAndTheClosingCommands) {
  FarEnd& end = Station(Ack);
  std::vector<int> positions;
  end.on_frame = [this, &positions, inner = end.on_frame](FarEnd& self, const Bytes& frame) {
    positions.push_back(panel->ProgressBar1->Position());
    inner(self, frame);
  };
  ClickStart();
  const Nanos started = clock.Now();  // the handler has returned
  ASSERT_TRUE(RunUntilIdle());
  ExpectDone();
  ASSERT_EQ(records.size(), 1u + 650 + 3);
  EXPECT_EQ(records.front(), kErase);
  EXPECT_EQ(records[1], ":100000000220BBA21492B4122885220227FAC2B79A");
  EXPECT_EQ(records[650], ":102890" + records[650].substr(7));
  EXPECT_EQ(std::vector<std::string>(records.end() - 3, records.end()), (std::vector<std::string>{kClose1, kClose2, kClose3}));
  for (size_t i = 1; i <= 650; ++i) {
    ASSERT_EQ(records[i].size(), 43u);
    char addr[5];
    std::snprintf(addr, sizeof addr, "%04zX", (i - 1) * 16);
    ASSERT_EQ(records[i].substr(3, 4), addr);
  }
  // The first data frame, byte for byte.
  const Bytes& first = end.frames[2];
  ASSERT_EQ(first.size(), 49u);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), (Bytes{0x5A, 0x31, 0x00, 0xF5}));
  EXPECT_EQ(FrameChecksum(first.data(), 47), first[47] * 256 + first[48]);
  // The erase goes out one second after Start.
  EXPECT_EQ(end.frame_times[1], started + Millis(1000));
  // A run without a timeout ends at the last acknowledgement (2 ms after
  // the last command), listening for nothing more.
  EXPECT_EQ(clock.Now(), end.frame_times.back() + Millis(2));
  // Progress follows acknowledgements; the walk over the blank tail resets it.
  EXPECT_EQ(positions[2], 0);
  EXPECT_EQ(positions[3], 16);
  EXPECT_EQ(positions[651], 0x2890);
  EXPECT_EQ(positions[652], 0);
  EXPECT_EQ(status->texts, (std::vector<std::string>{"Initialize bootloader...", "Erase processor...", "Programming...",
                                                     "Reset station...", "Done."}));
  EXPECT_EQ(panel->ProgressBar1->Max(), 10392);
}

TEST_F(Sequence, ImagesOfUnusualShapes) {
  struct Row {
    const char* name;
    std::vector<std::string> image;
    std::vector<std::string> data_records;
  };
  const Row rows[] = {
      {"blank throughout", {":00000001FF"}, {}},
      {"a block at 0xFFF0", {":10FFF000000102030405060708090A0B0C0D0E0F89"}, {":10FFF000000102030405060708090A0B0C0D0E0F89"}},
      {"fifteen 0xFF and one other byte", {":01012300AA31"}, {":10012000FFFFFFAAFFFFFFFFFFFFFFFFFFFFFFFF34"}},
      {"one byte at the end of a block", {":01012F00AA25"}, {":10012000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFAA34"}},
      {"a blank block between two that carry data",
       {":0100000011EE", ":0100200022BD"},
       {":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE", ":1000200022FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFBD"}},
      {"the last two blocks",
       {":01FFE00033ED", ":10FFF000000102030405060708090A0B0C0D0E0F89"},
       {":10FFE00033FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED", ":10FFF000000102030405060708090A0B0C0D0E0F89"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ResetPorts();
    records.clear();
    seen.clear();
    status->texts.clear();
    Station(Ack);
    panel->ProgSrc->Items = r.image;
    ClickStart();
    ASSERT_TRUE(RunUntilIdle());
    ExpectDone();
    std::vector<std::string> expected{kErase};
    expected.insert(expected.end(), r.data_records.begin(), r.data_records.end());
    expected.insert(expected.end(), {kClose1, kClose2, kClose3});
    EXPECT_EQ(records, expected);
    EXPECT_EQ(status->texts, (std::vector<std::string>{"Initialize bootloader...", "Erase processor...", "Programming...",
                                                       "Reset station...", "Done."}));
  }
}

TEST_F(Sequence, EachCommandUnansweredIsSentFourTimesItsReplyTimeoutApart) {
  const std::string data = ":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE";
  struct Row {
    std::string silent;  // the command the station never answers
    int64_t timeout_ms;
  };
  const Row rows[] = {{kErase, 10000}, {data, 1000}, {kClose1, 1000}, {kClose2, 1000}, {kClose3, 1000}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.silent);
    ResetPorts();
    records.clear();
    seen.clear();
    const size_t boxes = toolkit.boxes().size();
    FarEnd& end = Station([&r](const std::string& record, int) -> std::optional<Bytes> {
      if (record == r.silent) return std::nullopt;
      return kAck;
    });
    panel->ProgSrc->Items = {":0100000011EE"};
    ClickStart();
    ASSERT_TRUE(RunUntilIdle());
    ASSERT_EQ(toolkit.boxes().size(), boxes + 1);
    EXPECT_EQ(toolkit.boxes().back().text, "Command timeout.");
    EXPECT_EQ(toolkit.boxes().back().caption, "Upgrade error.");
    std::vector<Nanos> sent;  // when the silent command went out; frame 0 is the handshake's
    for (size_t i = 0; i < records.size(); ++i)
      if (records[i] == r.silent) sent.push_back(end.frame_times[i + 1]);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(records.back(), r.silent);
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i] - sent[i - 1], Millis(r.timeout_ms));
    EXPECT_EQ(toolkit.boxes().back().opened_at - sent.back(), Millis(r.timeout_ms));
  }
}

TEST_F(Sequence, BytesThatArriveWhileACommandIsDueAreNeverRead) {
  FarEnd& end = Station(Ack);
  panel->ProgSrc->Items = {":00000001FF"};
  ClickStart();
  // Half-way through the start delay, before the erase, a whole
  // acknowledgement arrives: it must be neither read nor left for later.
  end.Send(kAck, Millis(500));
  ASSERT_TRUE(RunUntilIdle());
  ExpectDone();
  EXPECT_EQ(records, (std::vector<std::string>{kErase, kClose1, kClose2, kClose3}));
  // One command at a time: each goes out only after the reply to the one
  // before it, which the station sends 2 ms after the command.
  for (size_t i = 2; i < end.frame_times.size(); ++i) EXPECT_GE(end.frame_times[i] - end.frame_times[i - 1], Millis(2));
}

TEST_F(Sequence, EachReplyIsAssembledByItsOwnLength) {
  auto ack = [](size_t length) {
    Bytes f{0x5A, static_cast<uint8_t>(length), 0x00, 0x00, 0xE5};
    while (f.size() < length) f.push_back(static_cast<uint8_t>(f.size()));
    return Sealed(f);
  };
  const std::string data = ":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE";
  const std::map<std::string, size_t> lengths = {{kErase, 8}, {data, 127}, {kClose1, 7}, {kClose2, 8}, {kClose3, 7}};
  Station([&](const std::string& record, int) { return ack(lengths.at(record)); });
  panel->ProgSrc->Items = {":0100000011EE"};
  ClickStart();
  ASSERT_TRUE(RunUntilIdle());
  ExpectDone();
  EXPECT_EQ(records, (std::vector<std::string>{kErase, data, kClose1, kClose2, kClose3}));
}

TEST_F(Sequence, ARefusedEraseIsNeverSentAgain) {
  Station([](const std::string&, int) { return Frame({0, 0, 0xA2, 0x01}); });
  ClickStart();
  RunUntilIdle();
  ExpectFailed("Communication error.");
  EXPECT_EQ(records, std::vector<std::string>{kErase});
}

TEST_F(Sequence, AnUnansweredEraseIsSentFourTimesTenSecondsApart) {
  FarEnd& end = Station([](const std::string&, int) { return std::nullopt; });
  ClickStart();
  const Nanos started = clock.Now();
  RunUntilIdle();
  ExpectFailed("Command timeout.");
  EXPECT_EQ(records, std::vector<std::string>(4, kErase));
  for (size_t i = 2; i < end.frame_times.size(); ++i) EXPECT_EQ(end.frame_times[i] - end.frame_times[i - 1], Millis(10000));
  EXPECT_EQ(toolkit.boxes()[0].opened_at - started, Millis(41000));
}

TEST_F(Sequence, TimeoutsAndRefusalsDrawOnTheSameRetries) {
  struct Row {
    const char* name;
    std::vector<char> fates;  // per attempt of the first data record: t timeout, r refusal
    const char* message;
  };
  const Row rows[] = {
      {"one timeout, then three refusals", {'t', 'r', 'r', 'r'}, "Communication error."},
      {"three refusals, then a timeout", {'r', 'r', 'r', 't'}, "Command timeout."},
      {"refusals of every kind", {'c', 'a', 'r', 'r'}, "Communication error."},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ResetPorts();
    records.clear();
    seen.clear();
    toolkit.answer = nullptr;
    const size_t boxes = toolkit.boxes().size();
    Station([&r](const std::string& record, int n) -> std::optional<Bytes> {
      if (record == kErase) return kAck;
      switch (r.fates[static_cast<size_t>(n - 1)]) {
        case 't': return std::nullopt;
        case 'c': {  // an acknowledgement with a bad checksum
          Bytes bad = kAck;
          bad.back() ^= 0x55;
          return bad;
        }
        case 'a': return Frame({0, 0, 0xA2, 0x0C});  // a status answer is no acknowledgement
        default: return Frame({0, 0, 0x17});
      }
    });
    ClickStart();
    RunUntilIdle();
    ASSERT_EQ(toolkit.boxes().size(), boxes + 1);
    EXPECT_EQ(toolkit.boxes().back().text, r.message);
    EXPECT_EQ(records.size(), 1u + 4u);
  }
}

// Within the settling wait (3 s) a late reply is told apart; beyond it the
// replies fall one behind, and the end check catches the reply still owed
// after the last closing command, unless a lost reply has put them back in
// step.
TEST_F(Sequence, AReplyLaterThanItsTimeoutNeverLetsARefusedCommandEndInDone) {
  const std::string kA = ":10000000000102030405060708090A0B0C0D0E0F78";
  const std::string kB = ":10001000101112131415161718191A1B1C1D1E1F68";
  const std::string kC = ":10002000202122232425262728292A2B2C2D2E2F58";
  struct Fate {
    std::string record;
    int attempt;     // which send of the record
    bool refuse;     // a refusal instead of the acknowledgement
    int64_t after;   // ms after the record arrived (the reply timeout is 1,000); -1 no reply
  };
  struct Row {
    const char* name;
    std::vector<Fate> fates;  // every other send is acknowledged after `pace` ms
    size_t sends;             // records the station gets, the erase included
    int64_t pace = 2;
    const char* ending = "Done.";
    std::set<std::string> skipped = {};  // what the station never carried out
    Bytes after_last = {};  // sent 100 ms after the last closing command's reply
  };
  const Row rows[] = {
      {"1 ms late, then the next record refused", {{kA, 1, false, 1001}, {kB, 1, true, 2}}, 1 + 2 + 2 + 1 + 3},
      {"900 ms late, then the next record refused", {{kA, 1, false, 1900}, {kB, 1, true, 950}}, 1 + 2 + 2 + 1 + 3},
      {"late, then the last closing command refused, then the unit restarts",
       {{kClose1, 1, false, 1200}, {kClose3, 1, true, 300}}, 1 + 3 + 2 + 1 + 2, 2, "Done.", {},
       // What a restarting unit may print, and a frame whose checksum fails.
       {'O', 'D', 'U', '\r', '\n', 0x5A, 0x07, 0x00, 0x00, 0xE5, 0x00, 0x00}},
      {"a late refusal, then the re-send's acknowledgement", {{kA, 1, true, 1100}}, 1 + 3 + 1 + 1 + 3},
      {"the re-send's refusal first, then the late acknowledgement, then a refusal",
       {{kA, 1, false, 1300}, {kA, 2, true, 2}, {kB, 1, true, 400}}, 1 + 3 + 2 + 1 + 3},
      {"1.5 s late, then a refusal", {{kA, 1, false, 2500}, {kC, 1, true, 200}}, 1 + 2 + 1 + 2 + 3, 200},
      {"3 s late, then the last closing command refused", {{kA, 1, false, 4000}, {kClose3, 1, true, 450}},
       1 + 2 + 1 + 1 + 1 + 1 + 2, 450},
      // Beyond the settling wait: kA's late reply is taken for the first
      // closing command's, and so on; the first closing command's refusal is
      // charged to the second.
      {"4.5 s late, then a refusal", {{kA, 1, false, 5500}, {kClose1, 1, true, 400}}, 1 + 2 + 1 + 1 + 1 + 2 + 1, 400,
       "Communication error.", {kClose1}},
      {"6 s late, then the last closing command refused", {{kA, 1, false, 7000}, {kClose3, 1, true, 700}},
       1 + 2 + 1 + 1 + 1 + 1 + 1, 700, "Communication error.", {kClose3}},
      // What the end check cannot see: the reply to the second closing
      // command's re-send is lost, which puts the replies back in step.
      {"4.5 s late, a refusal, then a lost reply",
       {{kA, 1, false, 5500}, {kClose1, 1, true, 400}, {kClose2, 2, false, -1}}, 1 + 2 + 1 + 1 + 1 + 2 + 1, 400, "Done.",
       {kClose1}},
      // After all those, a run without a timeout listens for nothing more.
      {"no timeout", {}, 1 + 3 + 3},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ResetPorts();
    records.clear();
    seen.clear();
    const size_t boxes = toolkit.boxes().size();
    std::set<std::string> carried_out;  // what the station has acknowledged
    FarEnd& end = AddPort("COM1");
    end.on_frame = [&](FarEnd& self, const Bytes& frame) {
      if (frame[3] == 0xF3) return self.Send(kUpgradeAccepted);
      const std::string record = Payload(frame);
      records.push_back(record);
      const int attempt = ++seen[record];
      Fate fate{record, attempt, false, r.pace};
      for (const Fate& f : r.fates)
        if (f.record == record && f.attempt == attempt) fate = f;
      if (!fate.refuse) carried_out.insert(record);
      if (fate.after >= 0) self.Send(fate.refuse ? Frame({0, 0, 0x17}) : kAck, Millis(fate.after));
      if (record == kClose3 && !r.after_last.empty()) self.Send(r.after_last, Millis(fate.after + 100));
    };
    panel->ProgSrc->Items = {kA, kB, kC};
    ClickStart();
    ASSERT_TRUE(RunUntilIdle());
    const bool done = std::string(r.ending) == "Done.";
    ASSERT_EQ(toolkit.boxes().size(), boxes + (done ? 0 : 1));
    if (done) {
      EXPECT_EQ(panel->StaticText1->Caption(), "Done.");
      // At the last reply, or one reply timeout later after a timeout.
      EXPECT_EQ(clock.Now(), end.frame_times.back() + Millis(r.pace) + Millis(r.fates.empty() ? 0 : 1000));
    } else {
      EXPECT_EQ(Boxes().back(), std::make_pair(std::string(r.ending), std::string("Upgrade error.")));
    }
    EXPECT_EQ(panel->RepliesOutOfStep, !done);
    std::set<std::string> expected{kErase, kA, kB, kC, kClose1, kClose2, kClose3};
    for (const std::string& record : r.skipped) expected.erase(record);
    EXPECT_EQ(carried_out, expected);
    EXPECT_EQ(records.size(), r.sends);
  }
}

TEST_F(Sequence, EveryAcknowledgementStartsTheNextCommandWithFreshRetries) {
  // Each record after the erase is refused three times before it is taken.
  Station([](const std::string& record, int n) { return record != kErase && n <= 3 ? Frame({0, 0, 0x17}) : kAck; });
  panel->ProgSrc->Items = {":10000000000102030405060708090A0B0C0D0E0F78", ":10001000101112131415161718191A1B1C1D1E1F68"};
  ClickStart();
  RunUntilIdle();
  ExpectDone();
  EXPECT_EQ(records.size(), 4u * (1 + 2 + 3) - 3);  // the erase is taken at once
}

TEST_F(Sequence, ARefusalIsSentAgainAtOnce) {
  FarEnd& end = Station([](const std::string& record, int n) { return record != kErase && n == 1 ? Frame({0, 0, 0x17}) : kAck; });
  panel->ProgSrc->Items = {":0100000011EE"};
  ClickStart();
  RunUntilIdle();
  ExpectDone();
  // init, erase, record, record again 2 ms later (the reply's delay), closing
  ASSERT_GE(end.frame_times.size(), 4u);
  EXPECT_EQ(end.frame_times[3] - end.frame_times[2], Millis(2));
}

TEST_F(Sequence, BytesBeforeAReplyAreSkipped) {
  auto then = [](Bytes before, Bytes::const_iterator from) {
    before.insert(before.end(), from, kAck.end());
    return before;
  };
  const struct {
    const char* name;
    Bytes reply;
  } rows[] = {
      {"noise, then a start byte and bytes that cannot be a length",
       then({0x00, 0x13, 0xFF, 0x5A, 0x00, 0x05, 0x80, 0xFF}, kAck.begin() + 1)},
      {"more than 256 bytes, read in further reads", then(Bytes(300, 0x00), kAck.begin())},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ResetPorts();
    records.clear();
    Station([&row](const std::string&, int) { return row.reply; });
    panel->ProgSrc->Items = {":0100000011EE"};
    ClickStart();
    RunUntilIdle();
    ExpectDone();
    EXPECT_EQ(records.size(), 5u);
  }
}

TEST_F(Sequence, AReplySplitWithin150MsIsAssembledAndASlowerOneDropped) {
  FarEnd& end = AddPort("COM1");
  int split_ms = 100;
  end.on_frame = [&](FarEnd& self, const Bytes& frame) {
    if (frame[3] == 0xF3) return self.Send(kUpgradeAccepted);
    records.push_back(Payload(frame));
    self.Send(Bytes(kAck.begin(), kAck.begin() + 3), Millis(2));
    self.Send(Bytes(kAck.begin() + 3, kAck.end()), Millis(2 + split_ms));
  };
  panel->ProgSrc->Items = {":0100000011EE"};
  ClickStart();
  RunUntilIdle();
  ExpectDone();
  EXPECT_EQ(records.size(), 5u);

  // Split beyond the frame window: dropped, and the command goes again when
  // its timeout passes.
  records.clear();
  split_ms = 200;
  ClickStart();
  RunUntilIdle();
  ExpectFailed("Command timeout.");
  EXPECT_EQ(records, std::vector<std::string>(4, kErase));
  const auto& t = end.frame_times;
  EXPECT_EQ(t[t.size() - 1] - t[t.size() - 2], Millis(10000));
}

TEST_F(Sequence, AHalfFrameAtTimeoutIsNotCompletedByTheNextReply) {
  // The first answer starts just before the timeout and never finishes; the
  // answer to the re-send comes whole.
  FarEnd& end = AddPort("COM1");
  end.on_frame = [&](FarEnd& self, const Bytes& frame) {
    if (frame[3] == 0xF3) return self.Send(kUpgradeAccepted);
    const std::string record = Payload(frame);
    records.push_back(record);
    if (record == kErase && ++seen[record] == 1)
      self.Send(Bytes(kAck.begin(), kAck.begin() + 2), Millis(9950));
    else
      self.Send(kAck, Millis(20));
  };
  panel->ProgSrc->Items = {":00000001FF"};
  ClickStart();
  RunUntilIdle();
  ExpectDone();
  EXPECT_EQ(records, (std::vector<std::string>{kErase, kErase, kClose1, kClose2, kClose3}));
}

TEST_F(Sequence, ANewStartAfterAFailedRunBeginsWithFreshRetries) {
  bool healthy = false;
  Station([&](const std::string&, int) -> std::optional<Bytes> {
    if (healthy) return kAck;
    return std::nullopt;
  });
  panel->ProgSrc->Items = {":00000001FF"};
  ClickStart();
  RunUntilIdle();
  ExpectFailed("Command timeout.");
  EXPECT_EQ(panel->Retries, 4u);
  healthy = true;
  records.clear();
  toolkit.answer = nullptr;
  ClickStart();
  EXPECT_EQ(panel->Retries, 0u);
  RunUntilIdle();
  EXPECT_EQ(records, (std::vector<std::string>{kErase, kClose1, kClose2, kClose3}));
  EXPECT_EQ(panel->StaticText1->Caption(), "Done.");
}

TEST_F(Sequence, TheFailedEndShowsItsBoxAfterThePortIsClosed) {
  Station([](const std::string&, int) { return std::nullopt; });
  bool closed_before_box = false;
  toolkit.answer = [&](const HeadlessToolkit::Box&) {
    closed_before_box = !panel->Port->Connected() && !panel->Delay->Enabled() && !panel->Button1->Enabled() &&
                        panel->StaticText1->Caption().empty();
    return true;
  };
  ClickStart();
  RunUntilIdle();
  EXPECT_TRUE(closed_before_box);
  EXPECT_TRUE(panel->Button1->Enabled());
}

TEST_F(Sequence, ClosingTheWindowDuringARunSendsNothingMore) {
  FarEnd& end = Station([](const std::string&, int) { return std::nullopt; });
  ClickStart();
  toolkit.RunFor(Millis(1500));  // the erase is out
  ASSERT_EQ(end.frames.size(), 2u);
  panel->Close();
  EXPECT_FALSE(panel->Port->Connected());
  toolkit.RunFor(Millis(60000));
  EXPECT_EQ(end.frames.size(), 2u);
}

}  // namespace
}  // namespace odu::testing
