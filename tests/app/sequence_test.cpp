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

  // A row of a table starts afresh: no ports, no records seen, no scripted
  // answer to a box. The boxes shown so far.
  size_t NewRow() {
    ResetPorts();
    records.clear();
    seen.clear();
    toolkit.answer = nullptr;
    return toolkit.boxes().size();
  }

  // Part of an answer: its bytes from `from` on (to the next piece's) reach
  // the tool `at_ms` after the record.
  struct Piece {
    size_t from;
    int64_t at_ms;
  };
  // A station on COM1 whose bootloader answers each record as `answer`
  // decides: with the record's text and how often it came, it sends bytes
  // (in `pieces`, by default whole after 2 ms) or nothing.
  FarEnd& Station(std::function<std::optional<Bytes>(const std::string& record, int seen)> answer,
                  std::vector<Piece> pieces = {{0, 2}}) {
    FarEnd& end = AddPort("COM1");
    end.on_frame = [this, answer, pieces](FarEnd& self, const Bytes& frame) {
      if (frame[3] == 0xF3) return self.Send(kUpgradeAccepted);
      const std::string record = Payload(frame);
      records.push_back(record);
      const std::optional<Bytes> reply = answer(record, ++seen[record]);
      for (size_t i = 0; reply && i < pieces.size(); ++i) {
        const size_t to = i + 1 < pieces.size() ? pieces[i + 1].from : reply->size();
        self.Send(Bytes(reply->begin() + pieces[i].from, reply->begin() + to), Millis(pieces[i].at_ms));
      }
    };
    return end;
  }
  static std::optional<Bytes> Ack(const std::string&, int) { return kAck; }

  // `boxes`: the boxes shown before this run, by earlier rows of a table.
  void ExpectDone(size_t boxes = 0) {
    EXPECT_EQ(panel->StaticText1->Caption(), "Done.");
    EXPECT_FALSE(panel->Port->Connected());
    EXPECT_TRUE(panel->Button1->Enabled());
    EXPECT_EQ(panel->ProgressBar1->Position(), 0);
    EXPECT_EQ(toolkit.boxes().size(), boxes);
    EXPECT_EQ(panel->Step, 0);
    EXPECT_EQ(panel->Status, "OK");
  }
  void ExpectFailed(const std::string& message, size_t boxes = 0) {
    ASSERT_EQ(toolkit.boxes().size(), boxes + 1);
    EXPECT_EQ(toolkit.boxes().back().text, message);
    EXPECT_EQ(toolkit.boxes().back().caption, "Upgrade error.");
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
    NewRow();
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
    const size_t boxes = NewRow();
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

// One station behaviour per row: the records it is sent, the pace of the
// sends and how the run ends.
TEST_F(Sequence, EachStationBehaviourGivesTheRecordsSentTheirPaceAndTheEnding) {
  const std::string kA = ":10000000000102030405060708090A0B0C0D0E0F78";
  const std::string kB = ":10001000101112131415161718191A1B1C1D1E1F68";
  const std::string data = ":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE";
  const std::vector<std::string> one_byte = {":0100000011EE"};
  const std::vector<std::string> one_block = {kErase, data, kClose1, kClose2, kClose3};
  // Each record after the erase four times: refused three times, then taken.
  std::vector<std::string> refused_thrice = {kErase};
  for (const std::string& record : {kA, kB, std::string(kClose1), std::string(kClose2), std::string(kClose3)})
    refused_thrice.insert(refused_thrice.end(), 4, record);
  // An acknowledgement `length` bytes long.
  auto sized_ack = [](size_t length) {
    Bytes f{0x5A, static_cast<uint8_t>(length), 0x00, 0x00, 0xE5};
    while (f.size() < length) f.push_back(static_cast<uint8_t>(f.size()));
    return Sealed(f);
  };
  const std::map<std::string, size_t> lengths = {{kErase, 8}, {data, 127}, {kClose1, 7}, {kClose2, 8}, {kClose3, 7}};
  // `before`, then the acknowledgement from `from` on.
  auto then = [](Bytes before, Bytes::const_iterator from) {
    before.insert(before.end(), from, kAck.end());
    return before;
  };
  const Bytes noise = then({0x00, 0x13, 0xFF, 0x5A, 0x00, 0x05, 0x80, 0xFF}, kAck.begin() + 1);
  const Bytes long_noise = then(Bytes(300, 0x00), kAck.begin());
  // A first read of 256 bytes that ends after the acknowledgement, and
  // three bytes more.
  Bytes ack_within_first_read = then(Bytes(200, 0x00), kAck.begin());
  ack_within_first_read.resize(200 + kAck.size() + 49 + 3, 0x00);
  Bytes two_acks = kAck;
  two_acks.insert(two_acks.end(), kAck.begin(), kAck.end());
  const Bytes shortest = Sealed({0x5A, 0x06, 0x00, 0x00, 0x00, 0x00});  // whole, and no acknowledgement
  const Bytes refusal = Frame({0, 0, 0x17});
  struct Row {
    const char* name;
    std::vector<std::string> image;  // empty: the embedded image
    std::function<std::optional<Bytes>(const std::string& record, int seen)> answer;
    std::vector<std::string> records;   // what the station is sent, in order
    const char* failure = nullptr;      // the box's text; none: the run ends in Done
    std::vector<int64_t> gaps_ms = {};  // between successive sends from the erase on; empty: not checked
    int64_t box_at_ms = -1;             // when the box opens, after Start
    std::vector<Piece> pieces = {{0, 2}};
    std::vector<std::string> reads = {};  // the sizes the tool asks for, the handshake's first; empty: not checked
  };
  const Row rows[] = {
      {"a refused erase is never sent again", {}, [](const std::string&, int) { return Frame({0, 0, 0xA2, 0x01}); },
       {kErase}, "Communication error.", {}, 1002},
      {"an unanswered erase is sent four times ten seconds apart", {},
       [](const std::string&, int) -> std::optional<Bytes> { return std::nullopt; },
       std::vector<std::string>(4, kErase), "Command timeout.", {10000, 10000, 10000}, 41000},
      {"every acknowledgement starts the next command with fresh retries (the erase is taken at once)", {kA, kB},
       [&](const std::string& record, int n) { return record != kErase && n <= 3 ? refusal : kAck; }, refused_thrice},
      // Each re-send follows the refusal as soon as it is read, 2 ms after the send.
      {"a refusal is sent again at once", one_byte,
       [&](const std::string& record, int n) { return record != kErase && n == 1 ? refusal : kAck; },
       {kErase, data, data, kClose1, kClose1, kClose2, kClose2, kClose3, kClose3}, nullptr, std::vector<int64_t>(8, 2)},
      {"each reply is assembled by its own length", one_byte,
       [&](const std::string& record, int) { return sized_ack(lengths.at(record)); }, one_block},
      {"noise before a reply, then a start byte and bytes that cannot be a length", one_byte,
       [&](const std::string&, int) { return noise; }, one_block},
      {"more than 256 bytes before a reply, read in further reads", one_byte,
       [&](const std::string&, int) { return long_noise; }, one_block, nullptr, {}, -1, {{0, 2}},
       {"read 10", "read 256", "read 51", "read 256", "read 51", "read 256", "read 51", "read 256", "read 51",
        "read 256", "read 51"}},
      {"a read ends with the frame it completed, and what is left goes with the next send", one_byte,
       [&](const std::string& record, int) { return record == kErase ? ack_within_first_read : kAck; }, one_block,
       nullptr, {}, -1, {{0, 2}}, {"read 10", "read 256", "read 7", "read 7", "read 7", "read 7"}},
      {"bytes after a whole frame in the same read are taken after the next send", one_byte,
       [&](const std::string& record, int) { return record == kErase ? two_acks : kAck; }, one_block, nullptr,
       {2, 0, 2, 0}},
      {"the shortest reply is six bytes long", one_byte,
       [&](const std::string& record, int n) { return record == data && n == 1 ? shortest : kAck; },
       {kErase, data, data, kClose1, kClose2, kClose3}, nullptr, {2, 2, 2, 2, 2}},
      {"a reply in pieces within 150 ms of its start byte is assembled", one_byte, Ack, one_block, nullptr,
       {140, 140, 140, 140}, -1, {{0, 2}, {1, 80}, {4, 140}}},
      {"the frame window runs from the start byte, whatever comes after it", one_byte, Ack,
       std::vector<std::string>(4, kErase), "Command timeout.", {10000, 10000, 10000}, 41000,
       {{0, 2}, {1, 100}, {4, 160}}},
  };
  const auto embedded = panel->ProgSrc->Items;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const size_t boxes = NewRow();
    FarEnd& end = Station(r.answer, r.pieces);
    recorder.calls.clear();
    panel->Port->SetOpener(&recorder);
    panel->ProgSrc->Items = r.image.empty() ? embedded : r.image;
    ClickStart();
    const Nanos started = clock.Now();  // the handler has returned
    ASSERT_TRUE(RunUntilIdle());
    if (r.failure) {
      ExpectFailed(r.failure, boxes);
      EXPECT_EQ(toolkit.boxes().back().opened_at - started, Millis(r.box_at_ms));
    } else {
      ExpectDone(boxes);
    }
    EXPECT_EQ(records, r.records);
    if (!r.gaps_ms.empty()) {
      ASSERT_EQ(end.frame_times.size(), 2 + r.gaps_ms.size());  // frame 0 is the handshake's
      for (size_t i = 0; i < r.gaps_ms.size(); ++i)
        EXPECT_EQ(end.frame_times[i + 2] - end.frame_times[i + 1], Millis(r.gaps_ms[i])) << "gap " << i;
    }
    std::vector<std::string> reads;
    for (const std::string& call : recorder.calls) {
      if (call.starts_with("read")) reads.push_back(call);
    }
    if (!r.reads.empty()) {
      EXPECT_EQ(reads, r.reads);
    }
  }
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
    const size_t boxes = NewRow();
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
    // From the re-send of the first late record to the next send: the
    // settling wait starts at the first reply after the re-send and ends
    // when the owed reply has come, or 3 s (the erase: 10 s) after it began.
    int64_t settled_ms;
    int64_t pace = 2;
    const char* ending = "Done.";
    std::set<std::string> skipped = {};  // what the station never carried out
    Bytes after_last = {};  // sent 100 ms after the last closing command's reply
  };
  const Row rows[] = {
      {"1 ms late, then the next record refused", {{kA, 1, false, 1001}, {kB, 1, true, 2}}, 1 + 2 + 2 + 1 + 3, 2},
      {"900 ms late, then the next record refused", {{kA, 1, false, 1900}, {kB, 1, true, 950}}, 1 + 2 + 2 + 1 + 3, 900},
      {"late, then the last closing command refused, then the unit restarts",
       {{kClose1, 1, false, 1200}, {kClose3, 1, true, 300}}, 1 + 3 + 2 + 1 + 2, 200, 2, "Done.", {},
       // What a restarting unit may print, and a frame whose checksum fails.
       {'O', 'D', 'U', '\r', '\n', 0x5A, 0x07, 0x00, 0x00, 0xE5, 0x00, 0x00}},
      {"a late refusal, then the re-send's acknowledgement", {{kA, 1, true, 1100}}, 1 + 3 + 1 + 1 + 3, 100},
      {"the re-send's refusal first, then the late acknowledgement, then a refusal",
       {{kA, 1, false, 1300}, {kA, 2, true, 2}, {kB, 1, true, 400}}, 1 + 3 + 2 + 1 + 3, 300},
      {"1.5 s late, then a refusal", {{kA, 1, false, 2500}, {kC, 1, true, 200}}, 1 + 2 + 1 + 2 + 3, 1500, 200},
      {"3 s late, then the last closing command refused", {{kA, 1, false, 4000}, {kClose3, 1, true, 450}},
       1 + 2 + 1 + 1 + 1 + 1 + 2, 3000, 450},
      // Beyond the settling wait: kA's late reply is taken for the first
      // closing command's, and so on; the first closing command's refusal is
      // charged to the second.
      {"4.5 s late, then a refusal", {{kA, 1, false, 5500}, {kClose1, 1, true, 400}}, 1 + 2 + 1 + 1 + 1 + 2 + 1, 3400, 400,
       "Communication error.", {kClose1}},
      {"6 s late, then the last closing command refused", {{kA, 1, false, 7000}, {kClose3, 1, true, 700}},
       1 + 2 + 1 + 1 + 1 + 1 + 1, 3700, 700, "Communication error.", {kClose3}},
      // What the end check cannot see: the reply to the second closing
      // command's re-send is lost, which puts the replies back in step.
      {"4.5 s late, a refusal, then a lost reply",
       {{kA, 1, false, 5500}, {kClose1, 1, true, 400}, {kClose2, 2, false, -1}}, 1 + 2 + 1 + 1 + 1 + 2 + 1, 3400, 400,
       "Done.",
       {kClose1}},
      // After all those, a run without a timeout listens for nothing more.
      // The erase's settling wait is its own reply timeout.
      {"an erase 4 s late", {{kErase, 1, false, 14000}}, 2 + 3 + 3, 4000},
      {"no timeout", {}, 1 + 3 + 3, -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const size_t boxes = NewRow();
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
    if (r.settled_ms >= 0) {
      std::vector<size_t> late_sends;  // frame 0 is the handshake's
      for (size_t i = 1; i < end.frames.size(); ++i) {
        if (Payload(end.frames[i]) == r.fates[0].record) late_sends.push_back(i);
      }
      ASSERT_GE(late_sends.size(), 2u);
      const size_t resent = late_sends[1];
      ASSERT_LT(resent + 1, end.frames.size());
      EXPECT_EQ(end.frame_times[resent + 1] - end.frame_times[resent], Millis(r.settled_ms));
    }
  }
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
