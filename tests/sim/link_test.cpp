#include "sim/virtual_link.h"

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "tests/sim/sim_test_util.h"

namespace odu::sim::testing {
namespace {

using namespace odu::platform;

// 10 bit times at 19,200 baud.
constexpr Nanos kByte19200 = Nanos(520833);

// The tool's end of the cable, opened raw as the port component would.
DeviceHandle OpenTool(VirtualNullModem& modem, uint32_t baud, uint32_t read_timeout_ms = 1000) {
  DeviceHandle tool = modem.Open(0);
  if (!tool) return tool;
  Dcb dcb;
  dcb.BaudRate = baud;
  CommTimeouts timeouts;
  timeouts.ReadTotalTimeoutConstant = read_timeout_ms;
  EXPECT_TRUE(tool->SetCommState(dcb));
  EXPECT_TRUE(tool->SetCommTimeouts(timeouts));
  return tool;
}

bool Write(SerialDevice& tool, const Bytes& bytes) {
  uint32_t written = 0;
  return tool.WriteFile(bytes.data(), static_cast<uint32_t>(bytes.size()), written) && written == bytes.size();
}

Bytes Read(SerialDevice& tool, size_t count) {
  Bytes in(count);
  uint32_t read = 0;
  if (!tool.ReadFile(in.data(), static_cast<uint32_t>(count), read)) return {};
  in.resize(read);
  return in;
}

TEST(LinkTest, PacedExchangesTakeTheirLineTime) {
  VirtualClock clock;
  auto modem = VirtualNullModem::Create(clock);
  modem->SetPaced(true);
  Station station;
  VirtualLink link(station, modem, 1, clock, 19200);
  DeviceHandle tool = OpenTool(*modem, 19200);
  ASSERT_TRUE(tool);

  uint32_t lines = 0;
  ASSERT_TRUE(tool->GetCommModemStatus(lines));
  EXPECT_EQ(lines & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

  // Ten bytes out, then the eight of the answer, each 10 bit times.
  const Nanos start = clock.Now();
  ASSERT_TRUE(Write(*tool, InitFrame()));
  EXPECT_EQ(clock.Now() - start, 10 * kByte19200);
  EXPECT_EQ(Read(*tool, 8), Status(0x0C));
  EXPECT_EQ(clock.Now() - start, 18 * kByte19200);

  const Bytes erase = RecordFrame(kErase);
  const Nanos sent = clock.Now();
  ASSERT_TRUE(Write(*tool, erase));
  EXPECT_EQ(Read(*tool, 7), kAck);
  EXPECT_EQ(clock.Now() - sent, static_cast<int64_t>(erase.size() + 7) * kByte19200);
  EXPECT_TRUE(station.Erased());
}

TEST(LinkTest, UnpacedRepliesComeWholeAfterTheProcessingDelay) {
  VirtualClock clock;
  auto modem = VirtualNullModem::Create(clock);
  StationConfig config;
  config.processing = Millis(3);
  Station station(config);
  VirtualLink link(station, modem, 1, clock, 0);
  DeviceHandle tool = OpenTool(*modem, 19200);
  ASSERT_TRUE(tool);

  const Nanos sent = clock.Now();
  ASSERT_TRUE(Write(*tool, RecordFrame(kErase)));
  EXPECT_EQ(Read(*tool, 7), kAck);
  EXPECT_EQ(clock.Now() - sent, Millis(3));
}

TEST(LinkTest, AVanishedStationMakesTheToolsDeviceFail) {
  VirtualClock clock;
  auto modem = VirtualNullModem::Create(clock);
  StationConfig config;
  config.faults[0] = Fault::Vanish;
  Station station(config);
  VirtualLink link(station, modem, 1, clock, 19200);
  DeviceHandle tool = OpenTool(*modem, 19200);
  ASSERT_TRUE(tool);

  ASSERT_TRUE(Write(*tool, RecordFrame(kErase)));
  uint8_t byte = 0;
  uint32_t read = 0;
  EXPECT_FALSE(tool->ReadFile(&byte, 1, read));
  EXPECT_EQ(GetLastError(), error::kBadCommand);
  EXPECT_FALSE(Write(*tool, InitFrame()));
}

TEST(LinkTest, RunsOnTheRealClock) {
  auto modem = VirtualNullModem::Create(RealTime());
  Station station;
  DeviceHandle tool = OpenTool(*modem, 115200);
  ASSERT_TRUE(tool);
  {
    VirtualLink link(station, modem, 1, RealTime(), 115200);
    ASSERT_TRUE(Write(*tool, InitFrame()));
    EXPECT_EQ(Read(*tool, 8), Status(0x0C));
    ASSERT_TRUE(Write(*tool, RecordFrame(kErase)));
    EXPECT_EQ(Read(*tool, 7), kAck);
    for (uint16_t address = 0; address < 0x200; address += 16) {
      ASSERT_TRUE(Write(*tool, RecordFrame(DataRecord(address, Bytes(16, static_cast<uint8_t>(address >> 4))))));
      ASSERT_EQ(Read(*tool, 7), kAck) << address;
    }
    EXPECT_EQ(station.Flash()[0x1F0], 0x1F);
  }
  // A link that goes while a reply is still due sends nothing more.
  StationConfig slow;
  slow.processing = Millis(20);
  Station late(slow);
  tool = nullptr;
  tool = OpenTool(*modem, 115200, 50);
  ASSERT_TRUE(tool);
  {
    VirtualLink link(late, modem, 1, RealTime(), 115200);
    ASSERT_TRUE(Write(*tool, InitFrame()));
  }
  EXPECT_EQ(Read(*tool, 8), Bytes{});
}

}  // namespace
}  // namespace odu::sim::testing
