#include <gtest/gtest.h>

#include <string>

#include "comm_fixture.h"

namespace odu::testing {
namespace {

class EventTest : public CommFixture {
 protected:
  // Records every handler call as a word.
  void RecordAll() {
    port->OnBreak = [this](TThreadComm&) { calls.push_back("break"); };
    port->OnCts = [this](TThreadComm&) { calls.push_back("cts"); };
    port->OnDsr = [this](TThreadComm&) { calls.push_back("dsr"); };
    port->OnError = [this](TThreadComm&, uint32_t e) { calls.push_back("error" + std::to_string(e)); };
    port->OnRing = [this](TThreadComm&) { calls.push_back("ring"); };
    port->OnRlsd = [this](TThreadComm&) { calls.push_back("rlsd"); };
    port->OnRxChar = [this](TThreadComm&, uint32_t n) {
      EXPECT_TRUE(toolkit.IsWindowThread());
      calls.push_back("rx" + std::to_string(n));
    };
    port->OnRxFlag = [this](TThreadComm&) { calls.push_back("flag"); };
    port->OnTxEmpty = [this](TThreadComm&) { calls.push_back("txempty"); };
    port->OnCommEvent = [this](TThreadComm&, uint32_t mask, const ComStat& status) {
      calls.push_back("event" + std::to_string(mask) + " in " + std::to_string(status.cbInQue));
    };
  }
  std::vector<std::string> calls;
};

TEST_F(EventTest, DispatchCallsHandlersInTheirFixedOrder) {
  RecordAll();
  port->Open();
  const uint8_t bytes[] = {1, 2};
  modem->Inject(0, bytes);
  // Whatever the thread reports, a direct dispatch of every bit shows the order.
  toolkit.RunUntil([] { return false; }, clock.Now());
  calls.clear();
  modem->Inject(0, bytes);
  TCommEventThread sender(port->Device(), kAllCommEvents);  // never started
  port->DispatchCommEvent(sender, 0x1FF);
  const std::vector<std::string> expected{"break", "cts", "dsr", "error0", "ring", "rlsd", "rx4", "flag", "txempty", "event511 in 4"};
  EXPECT_EQ(calls, expected);
  calls.clear();
  port->PurgeInput();
  port->DispatchCommEvent(sender, 0x0001);
  EXPECT_EQ(calls, std::vector<std::string>{"event1 in 0"});  // nothing waiting: no OnRxChar
  // A handler that closes the port ends the dispatch.
  calls.clear();
  port->OnDsr = [this](TThreadComm& p) {
    calls.push_back("dsr");
    p.Close();
  };
  port->DispatchCommEvent(sender, 0x1FF);
  EXPECT_EQ(calls, (std::vector<std::string>{"break", "cts", "dsr"}));
}

// Each bit alone calls its own handler and OnCommEvent; OnError gets the
// error word, OnRxChar and OnCommEvent the bytes in the input queue.
TEST_F(EventTest, EachEventBitCallsItsOwnHandler) {
  RecordAll();
  port->InBufferSize = 4;
  port->Open();
  TCommEventThread sender(port->Device(), kAllCommEvents);  // never started
  const struct {
    uint32_t bit;
    const char* handler;
  } rows[] = {
      {0x0040, "break"}, {0x0008, "cts"}, {0x0010, "dsr"}, {0x0080, "error1"}, {0x0100, "ring"},
      {0x0020, "rlsd"},  {0x0001, "rx4"}, {0x0002, "flag"}, {0x0004, "txempty"},
  };
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  for (const auto& r : rows) {
    calls.clear();
    modem->Inject(0, bytes);  // overruns the full input queue: error word CE_RXOVER
    port->DispatchCommEvent(sender, r.bit);
    EXPECT_EQ(calls, (std::vector<std::string>{r.handler, "event" + std::to_string(r.bit) + " in 4"})) << r.bit;
  }
}

TEST_F(EventTest, ReceivedBytesReachTheWindowThread) {
  RecordAll();
  port->OnCommEvent = nullptr;
  port->Open();
  clock.Schedule(Millis(10), [&] {
    const uint8_t bytes[] = {1, 2, 3};
    modem->Inject(0, bytes);
  });
  EXPECT_TRUE(toolkit.RunUntil([&] { return !calls.empty(); }, Millis(1000)));
  EXPECT_EQ(calls, std::vector<std::string>{"rx3"});
  // Unread bytes are not reported again until new ones come.
  toolkit.RunFor(Millis(500));
  EXPECT_EQ(calls.size(), 1u);
  clock.Schedule(clock.Now() + Millis(10), [&] {
    const uint8_t more[] = {4};
    modem->Inject(0, more);
  });
  toolkit.RunFor(Millis(100));
  EXPECT_EQ(calls, (std::vector<std::string>{"rx3", "rx4"}));
}

TEST_F(EventTest, LineChangesAreReportedWithTheirEvents) {
  RecordAll();
  port->Open();
  clock.Schedule(Millis(10), [&] { modem->SetLines(1, true, false); });
  toolkit.RunFor(Millis(100));
  EXPECT_EQ(calls, (std::vector<std::string>{"dsr", "rlsd", "event48 in 0"}));
  // The next wait reports only what has happened since.
  calls.clear();
  const uint8_t out[] = {7};
  EXPECT_EQ(port->Write(out, 1), 1);
  toolkit.RunFor(Millis(100));
  EXPECT_EQ(calls, (std::vector<std::string>{"txempty", "event4 in 0"}));
}

TEST_F(EventTest, MonitoredEventsGiveTheDeviceMask) {
  port->MonitorEvents = evRxChar;
  port->Open();
  EXPECT_EQ(modem->Mask(0), 0x0001u);
  port->Close();
  // Element i of the set: break, CTS, DSR, line error, ring, carrier detect,
  // character received, event character, output empty.
  const uint32_t bits[] = {0x0040, 0x0008, 0x0010, 0x0080, 0x0100, 0x0020, 0x0001, 0x0002, 0x0004};
  for (int i = 0; i < 9; ++i) {
    port->MonitorEvents = static_cast<uint16_t>(1u << i);
    port->Open();
    EXPECT_EQ(modem->Mask(0), bits[i]) << "element " << i;
    port->Close();
  }
  port->MonitorEvents = kAllCommEvents;
  port->Open();
  EXPECT_EQ(modem->Mask(0), 0x1FFu);
}

TEST_F(EventTest, AnEmptyMaskReachesOnlyOnCommEvent) {
  RecordAll();
  port->Open();
  toolkit.RunFor(Millis(10));
  // Changing the mask under a pending wait completes it with no events.
  port->Device()->SetCommMask(0x1FF);
  toolkit.RunFor(Millis(10));
  EXPECT_EQ(calls, std::vector<std::string>{"event0 in 0"});
}

// The port never ends its thread so, but a thread told to end through the
// terminated flag finishes its hand-over and then purges both sides.
TEST_F(EventTest, AThreadToldToEndPurgesBothSidesOfTheDevice) {
  DeviceHandle device = recorder.Wrap(modem->Open(0));
  TCommEventThread thread(device, kAllCommEvents);
  int notified = 0;
  thread.OnNotify = [&](TCommEventThread&, uint32_t mask) {
    EXPECT_EQ(mask, 0x0001u);
    ++notified;
  };
  thread.Resume();
  UntilEventThreadWaits();
  thread.Terminate();
  EXPECT_EQ(recorder.Take(), std::vector<std::string>{"SetCommMask(0x1ff)"});
  const uint8_t bytes[] = {1};
  modem->Inject(0, bytes);
  EXPECT_TRUE(toolkit.RunUntil([&] { return thread.Finished(); }, Millis(100)));
  thread.WaitFor();
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(recorder.Take(), std::vector<std::string>{"PurgeComm(0x0f)"});
  EXPECT_EQ(modem->Waiting(0), 0u);
}

TEST_F(EventTest, NoNotificationReachesAPortAfterClose) {
  RecordAll();
  port->Open();
  const uint8_t bytes[] = {1};
  modem->Inject(0, bytes);
  // Let the thread hand the event over without the window running it.
  UntilEventThreadWaits();
  port->Close();
  toolkit.RunFor(Millis(100));
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(clock.Holds(), 0);
}

TEST_F(EventTest, ClosingFromInsideTheNotificationDoesNotDeadlock) {
  int received = 0;
  port->OnRxChar = [&](TThreadComm& p, uint32_t) {
    ++received;
    p.Close();
  };
  port->Open();
  const uint8_t bytes[] = {1};
  clock.Schedule(Millis(5), [&] { modem->Inject(0, bytes); });
  toolkit.RunFor(Millis(50));
  EXPECT_EQ(received, 1);
  EXPECT_FALSE(port->Connected());
  // Opening again reclaims the stopped thread and works as before.
  port->Open();
  clock.Schedule(clock.Now() + Millis(5), [&] { modem->Inject(0, bytes); });
  toolkit.RunFor(Millis(50));
  EXPECT_EQ(received, 2);
  // Destroying the port from inside its own handler: the handlers after it
  // and the thread's own notification touch nothing of the freed port.
  port->OnCommEvent = [&](TThreadComm&, uint32_t, const ComStat&) { ++received; };
  port->OnRxChar = [&](TThreadComm& p, uint32_t) {
    ++received;
    delete &p;
  };
  port->OnRxFlag = [&](TThreadComm&) { ++received; };
  port->EventChars().SetEvtChar(1);
  port->Open();
  clock.Schedule(clock.Now() + Millis(5), [&] { modem->Inject(0, bytes); });
  toolkit.RunFor(Millis(50));
  port = nullptr;
  EXPECT_EQ(received, 3);
  EXPECT_FALSE(modem->Dtr(0));
}

TEST_F(EventTest, AVanishedDeviceEndsNoNotificationAndClosesCleanly) {
  RecordAll();
  port->Open();
  toolkit.RunFor(Millis(10));
  modem->Vanish(0);
  toolkit.RunFor(Millis(200));
  EXPECT_TRUE(calls.empty());
  uint8_t buf[4];
  EXPECT_EQ(port->Read(buf, 4), 0);
  port->Close();
  EXPECT_FALSE(port->Connected());
}

}  // namespace
}  // namespace odu::testing
