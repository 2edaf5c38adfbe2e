// The port component on the real POSIX device layer, on a pseudo-terminal
// whose master end the test holds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "comm/thread_comm.h"
#include "platform/last_error.h"
#include "platform/toolkit/toolkit_headless.h"

namespace odu::testing {
namespace {

using namespace odu::platform;

class PosixPort : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    slave_name_ = name;
    port = new TThreadComm(&root);  // the platform's devices
    port->SetPortName(slave_name_);
    port->SetBaudRate(8);
    port->SetDataBits(4);
    port->SetStopBits(0);
    port->SetParity(0);
    port->SetFlowControl(kFlowHardware);
    port->ReadTimeout = 50;
  }
  void TearDown() override {
    delete port;
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

  HeadlessToolkit toolkit{RealTime()};
  TComponent root{nullptr};
  TThreadComm* port = nullptr;
  int master_ = -1, slave_ = -1;
  std::string slave_name_;
};

TEST_F(PosixPort, OpenSetsTheLineAsTheWindowConfiguredIt) {
  port->Open();
  ASSERT_TRUE(port->Connected());
  termios t{};
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(toolkit.boxes().empty());
}

TEST_F(PosixPort, ReadsGiveWhatCameOrNothingAfterTheTimeout) {
  port->Open();
  ASSERT_TRUE(port->Connected());
  uint8_t buf[10] = {};
  EXPECT_EQ(port->Read(buf, sizeof buf), 0);  // a silent line, after 50 ms
  ASSERT_EQ(write(master_, "\x5A\x08\x00\x00\xA2\x0C", 6), 6);
  EXPECT_EQ(port->Read(buf, sizeof buf), 6);
  EXPECT_EQ(buf[4], 0xA2);
  ASSERT_EQ(write(master_, "junk", 4), 4);
  usleep(20000);
  port->PurgeInput();
  EXPECT_EQ(port->Read(buf, sizeof buf), 0);
  EXPECT_EQ(port->Write("\x5A\x0A", 2), 2);
  char out[2] = {};
  EXPECT_EQ(read(master_, out, 2), 2);
}

// A refused line call names its code, and an unplugged adapter (the far end
// of the terminal gone) has the same code on every backend.
TEST_F(PosixPort, AGoneDevicesBoxNamesTheCodeOfAGoneDevice) {
  port->Open();
  ASSERT_TRUE(port->Connected());
  port->SetDTR(true);  // a pseudo-terminal has no modem lines
  close(master_);
  master_ = -1;
  port->SetDTR(true);
  std::vector<std::string> texts;
  for (const auto& box : toolkit.boxes()) {
    EXPECT_EQ(box.caption, "Serial Port Error.");
    texts.push_back(box.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "EscapeCommFunction failure.(Error: 50)",
                       "EscapeCommFunction failure.(Error: 22)"}));
}

// The reason stays the last error after the component has closed what it
// refused, for the scan to explain.
TEST_F(PosixPort, NamesThatAreNoPortLeaveItClosedWithoutAWord) {
  char file[] = "/tmp/odu-port-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const struct {
    std::string name;
    uint32_t code;
  } rows[] = {
      {"/dev/odu-no-such-port", error::kFileNotFound},
      {file, kNotSerialDeviceError},
      {"/dev/null", kNotSerialDeviceError},
      {"/tmp", kNotSerialDeviceError},
      {"", error::kFileNotFound},
  };
  for (const auto& row : rows) {
    port->SetPortName(row.name);
    SetLastError(0);
    port->Open();
    EXPECT_FALSE(port->Connected()) << row.name;
    EXPECT_EQ(GetLastError(), row.code) << row.name;
  }
  std::remove(file);
  EXPECT_TRUE(toolkit.boxes().empty());
}

}  // namespace
}  // namespace odu::testing
