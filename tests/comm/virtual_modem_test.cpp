#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <utility>

#include "platform/last_error.h"
#include "platform/serial/serial_virtual.h"

namespace odu::platform {
namespace {

class VirtualModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a = modem->Open(0);
    b = modem->Open(1);
    ASSERT_TRUE(a && b);
    CommTimeouts t{0xFFFFFFFF, 0, 1000, 0, 1000};
    a->SetCommTimeouts(t);
    b->SetCommTimeouts(t);
  }
  VirtualClock clock;
  std::shared_ptr<VirtualNullModem> modem = VirtualNullModem::Create(clock);
  DeviceHandle a, b;
};

TEST_F(VirtualModemTest, CrossedLinesShowAtTheOtherEnd) {
  uint32_t status = 0;
  ASSERT_TRUE(b->GetCommModemStatus(status));
  EXPECT_EQ(status, 0u);
  a->EscapeCommFunction(SETDTR);
  b->GetCommModemStatus(status);
  EXPECT_EQ(status, MS_DSR_ON | MS_RLSD_ON);
  a->EscapeCommFunction(SETRTS);
  b->GetCommModemStatus(status);
  EXPECT_EQ(status, MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON);
  modem->SetCarrier(1, false);
  b->GetCommModemStatus(status);
  EXPECT_EQ(status, MS_DSR_ON | MS_CTS_ON);
  // Closing drops both lines, as closing a Windows port does.
  modem->SetCarrier(1, std::nullopt);
  a->Close();
  EXPECT_FALSE(modem->Dtr(0));
  EXPECT_FALSE(modem->Rts(0));
  b->GetCommModemStatus(status);
  EXPECT_EQ(status, 0u);
}

TEST_F(VirtualModemTest, ReadWaitsForTheWholeCountUntilItsTimeout) {
  const uint8_t first[] = {1, 2, 3, 4};
  const uint8_t rest[] = {5, 6, 7, 8, 9, 10};
  clock.Schedule(Millis(100), [&] { modem->Inject(0, first); });
  clock.Schedule(Millis(200), [&] { modem->Inject(0, rest); });
  uint8_t buf[10] = {};
  uint32_t n = 0;
  ASSERT_TRUE(a->ReadFile(buf, 10, n));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(clock.Now(), Millis(200));
  EXPECT_EQ(buf[9], 10);

  ASSERT_TRUE(a->ReadFile(buf, 10, n));  // a silent line
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(clock.Now(), Millis(1200));
}

TEST_F(VirtualModemTest, PacedBytesTakeTheirTimeOnTheWire) {
  modem->SetPaced(true);
  Dcb d;
  a->GetCommState(d);
  d.BaudRate = 19200;
  a->SetCommState(d);
  const uint8_t frame[10] = {};
  uint32_t n = 0;
  ASSERT_TRUE(a->WriteFile(frame, 10, n));
  EXPECT_EQ(n, 10u);
  // 10 bits a byte at 19,200 baud.
  EXPECT_NEAR(static_cast<double>(clock.Now().count()), 10 * 10 * 1e9 / 19200, 1e3);
  EXPECT_EQ(modem->Waiting(1), 10u);
}

TEST_F(VirtualModemTest, OutputHandshakeHoldsBytesWithinTheWriteTimeout) {
  Dcb d;
  a->GetCommState(d);
  d.fOutxCtsFlow = d.fOutxDsrFlow = true;
  a->SetCommState(d);
  const uint8_t byte = 0x5A;
  uint32_t n = 0;
  ASSERT_TRUE(a->WriteFile(&byte, 1, n));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(clock.Now(), Millis(1000));
  clock.Schedule(Millis(1500), [&] { modem->SetLines(1, true, true); });
  ASSERT_TRUE(a->WriteFile(&byte, 1, n));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(clock.Now(), Millis(1500));
}

// A vanished end fails every call with the one code of a vanished device,
// the code the POSIX device gives for a terminal that has hung up.
TEST_F(VirtualModemTest, ClosedAndVanishedHandlesFailWithTheirCodes) {
  uint32_t status;
  a->Close();
  EXPECT_FALSE(a->GetCommModemStatus(status));
  EXPECT_EQ(GetLastError(), error::kInvalidHandle);
  EXPECT_EQ(modem->Open(1), nullptr);  // not shared
  EXPECT_EQ(GetLastError(), error::kAccessDenied);
  modem->Vanish(1);
  uint32_t events;
  EXPECT_FALSE(b->WaitCommEvent(events));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  uint8_t buf[4] = {};
  uint32_t n = 0;
  EXPECT_FALSE(b->ReadFile(buf, 4, n));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  EXPECT_FALSE(b->WriteFile(buf, 4, n));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  EXPECT_FALSE(b->EscapeCommFunction(SETDTR));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
}

TEST_F(VirtualModemTest, AWriteEndsAPendingWaitForTxEmpty) {
  ASSERT_TRUE(b->SetCommMask(EV_TXEMPTY));
  clock.Hold();  // the waiter's, released while its wait blocks
  auto pending = std::async(std::launch::async, [&] {
    uint32_t events = 0;
    const bool ok = b->WaitCommEvent(events);
    clock.Release();
    return std::make_pair(ok, events);
  });
  clock.WaitQuiet([] { return false; });
  const uint8_t frame[3] = {1, 2, 3};
  uint32_t n = 0;
  ASSERT_TRUE(b->WriteFile(frame, 3, n));
  EXPECT_EQ(n, 3u);
  // A safety net only: a wait the write did not end is cancelled.
  if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) b->CancelWait();
  EXPECT_EQ(pending.get(), std::make_pair(true, EV_TXEMPTY));
}

TEST_F(VirtualModemTest, PurgeOfTheReceiveSideKeepsNothingWaiting) {
  const uint8_t bytes[] = {1, 2, 3};
  modem->Inject(0, bytes);
  ComStat st;
  uint32_t errors;
  a->ClearCommError(errors, st);
  EXPECT_EQ(st.cbInQue, 3u);
  a->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR);
  a->ClearCommError(errors, st);
  EXPECT_EQ(st.cbInQue, 0u);
}

}  // namespace
}  // namespace odu::platform
