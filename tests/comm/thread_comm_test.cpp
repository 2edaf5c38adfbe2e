#include <gtest/gtest.h>

#include "comm_fixture.h"
#include "platform/last_error.h"

namespace odu::testing {
namespace {

using PortTest = CommFixture;

TEST_F(PortTest, ANewPortIsClosedAndRefusesTransfers) {
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->PortName(), "COM1");
  uint8_t buf[4];
  EXPECT_EQ(port->Read(buf, 4), -1);
  EXPECT_EQ(port->Write(buf, 4), -1);
  EXPECT_FALSE(port->ModemLineActive(4));
  port->PurgeInput();
  port->UpdateCommTimeouts();  // nothing to write them to: applied at the next Open
  port->SetDTR(true);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Port not open.(Error: -1)"});
  EXPECT_EQ(toolkit.boxes()[0].caption, "Serial Port Error.");
  EXPECT_EQ(modem->Calls(0), 0u);
}

TEST_F(PortTest, OpenWritesTheWindowsSettingsIntoTheLineState) {
  ConfigureAsWindow();
  EXPECT_EQ(modem->Calls(0), 0u);  // settings of a closed port are only stored
  port->Open();
  ASSERT_TRUE(port->Connected());
  const Dcb d = modem->State(0);
  EXPECT_EQ(d.BaudRate, 19200u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_TRUE(d.fOutxCtsFlow);
  EXPECT_TRUE(d.fOutxDsrFlow);
  EXPECT_FALSE(d.fOutX);
  EXPECT_EQ(d.XonLim, 1024);
  EXPECT_EQ(d.XoffLim, 1024);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.EvtChar, 0);
  const CommTimeouts t = modem->Timeouts(0);
  EXPECT_EQ(t, (CommTimeouts{0xFFFFFFFF, 0, 1000, 0, 1000}));
  EXPECT_EQ(modem->Mask(0), 0x1FFu);
  EXPECT_TRUE(toolkit.boxes().empty());
}

TEST_F(PortTest, SettingTablesMapIndicesToLineStateValues) {
  port->Open();
  ASSERT_TRUE(port->Connected());
  const uint32_t bauds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  for (int8_t i = 14; i >= 0; --i) {
    port->SetBaudRate(i);
    EXPECT_EQ(modem->State(0).BaudRate, bauds[i]) << "baud index " << int{i};
  }
  const uint8_t parity[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
  for (int8_t i = 4; i >= 0; --i) {
    port->SetParity(i);
    EXPECT_EQ(modem->State(0).Parity, parity[i]) << "parity index " << int{i};
  }
  for (int8_t i = 2; i >= 0; --i) {
    port->SetStopBits(i);
    EXPECT_EQ(modem->State(0).StopBits, i);
  }
  for (int8_t i = 1; i <= 4; ++i) {
    port->SetDataBits(i);
    EXPECT_EQ(modem->State(0).ByteSize, i + 4);
  }
  EXPECT_TRUE(toolkit.boxes().empty());
  // Four data bits is a size the line refuses.
  port->SetDataBits(0);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Error updating DataControlBlock.(Error: 87)"});
}

TEST_F(PortTest, FlowControlKindsTouchOnlyTheirFlags) {
  port->Open();
  struct Row {
    int8_t kind;
    bool cts, dsr, outx, inx;
  };
  // Start from a device with every flag set, then from one with none.
  for (bool initial : {true, false}) {
    const Row rows[] = {
        {kFlowHardware, true, true, initial, initial},
        {kFlowSoftware, initial, initial, true, true},
        {kFlowDevice, initial, initial, initial, initial},
        {7, initial, initial, initial, initial},
        {kFlowNone, false, false, false, false},
    };
    for (const Row& r : rows) {
      port->SetFlowControl(kFlowDevice == r.kind ? 5 : kFlowDevice);  // a value that touches nothing
      Dcb d = modem->State(0);
      d.fOutxCtsFlow = d.fOutxDsrFlow = d.fOutX = d.fInX = initial;
      port->Device()->SetCommState(d);
      port->SetFlowControl(r.kind);
      d = modem->State(0);
      EXPECT_EQ(d.fOutxCtsFlow, r.cts) << int{r.kind} << " from " << initial;
      EXPECT_EQ(d.fOutxDsrFlow, r.dsr) << int{r.kind} << " from " << initial;
      EXPECT_EQ(d.fOutX, r.outx) << int{r.kind} << " from " << initial;
      EXPECT_EQ(d.fInX, r.inx) << int{r.kind} << " from " << initial;
    }
  }
}

TEST_F(PortTest, OptionsSetAndClearTheirFlags) {
  port->Options = opParityCheck | opErrorChar | opNullStrip;
  port->Open();
  Dcb d = modem->State(0);
  EXPECT_TRUE(d.fParity);
  EXPECT_FALSE(d.fDsrSensitivity);
  EXPECT_FALSE(d.fTXContinueOnXoff);
  EXPECT_TRUE(d.fErrorChar);
  EXPECT_TRUE(d.fNull);
  port->Options = opDsrSensitivity | opTxContinueOnXoff;
  port->UpdateDataControlBlock();
  d = modem->State(0);
  EXPECT_FALSE(d.fParity);
  EXPECT_TRUE(d.fDsrSensitivity);
  EXPECT_TRUE(d.fTXContinueOnXoff);
  EXPECT_FALSE(d.fErrorChar);
  EXPECT_FALSE(d.fNull);
}

TEST_F(PortTest, UnchangedSettingsMakeNoDeviceCall) {
  ConfigureAsWindow();
  port->Open();
  UntilEventThreadWaits();
  const uint64_t calls = modem->Calls(0);
  port->SetBaudRate(8);
  port->SetDataBits(4);
  port->SetStopBits(0);
  port->SetParity(0);
  port->SetFlowControl(1);
  port->SetPortName("COM1");
  EXPECT_EQ(modem->Calls(0), calls);
  port->SetPortName("COM2");  // ignored while open
  EXPECT_EQ(port->PortName(), "COM1");
  port->SetBaudRate(9);
  EXPECT_GT(modem->Calls(0), calls);
  EXPECT_EQ(modem->State(0).BaudRate, 38400u);
}

TEST_F(PortTest, OpenFailuresAreSilentOrReportedWithTheirCodes) {
  // A name that does not exist, a port in use, a regular file: silent.
  opener.FailOpen("COM5", error::kAccessDenied);
  opener.NotCharacterDevice("FILE");
  for (const char* name : {"COM9", "COM5", "FILE", ""}) {
    port->SetPortName(name);
    port->Open();
    EXPECT_FALSE(port->Connected()) << name;
  }
  EXPECT_TRUE(toolkit.boxes().empty());

  port->SetPortName("COM1");
  modem->SetFault(0, VirtualCall::SetCommTimeouts, error::kGenFailure, 1);
  modem->SetFault(0, VirtualCall::SetupComm, error::kInvalidParameter);
  port->Open();
  // Refused buffers are reported after the lock is released; the port stays
  // open with its event thread.
  EXPECT_TRUE(port->Connected());
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Error updating CommTimeouts.(Error: 31)",
                                                  "Error initializing Read/Write Buffers.(Error: 87)"}));
  port->Open();
  EXPECT_EQ(BoxTexts().back(), "Port already assigned (open).(Error: -1)");
  EXPECT_TRUE(port->Connected());

  modem->SetFault(0, VirtualCall::EscapeCommFunction, error::kBadCommand);
  port->SetRTS(true);
  EXPECT_EQ(BoxTexts().back(), "EscapeCommFunction failure.(Error: 22)");
}

TEST_F(PortTest, AdoptedHandleKeepsItsLineState) {
  DeviceHandle handle = modem->Open(0);
  Dcb d;
  handle->GetCommState(d);
  d.BaudRate = 1200;
  handle->SetCommState(d);
  ConfigureAsWindow();
  port->Open(handle);
  ASSERT_TRUE(port->Connected());
  EXPECT_EQ(modem->State(0).BaudRate, 1200u);  // not rewritten for an adopted handle
  EXPECT_EQ(modem->Timeouts(0).ReadTotalTimeoutConstant, 1000u);
}

TEST_F(PortTest, ReadsAndWritesGoThroughTheLine) {
  ConfigureAsWindow();
  port->Open();
  modem->SetLines(1, true, true);
  const uint8_t out[] = {0x5A, 0x0A, 0x00, 0xF3};
  EXPECT_EQ(port->Write(out, 4), 4);
  EXPECT_EQ(modem->Take(1), Bytes({0x5A, 0x0A, 0x00, 0xF3}));
  const uint8_t in[] = {1, 2, 3};
  modem->Inject(0, in);
  uint8_t buf[8] = {};
  EXPECT_EQ(port->Read(buf, 0), 0);
  EXPECT_EQ(port->Read(buf, 8), 3);  // what came within the read timeout
  EXPECT_EQ(clock.Now(), Millis(1000));
  modem->Inject(0, in);
  port->PurgeInput();
  EXPECT_EQ(port->Read(buf, 1), 0);
}

TEST_F(PortTest, OutputWaitsForTheHandshakeLinesUntilTheWriteTimeout) {
  ConfigureAsWindow();
  port->Open();
  const uint8_t out[] = {0x5A};
  EXPECT_EQ(port->Write(out, 1), 0);  // CTS and DSR low
  modem->SetLines(1, true, false);    // DSR only
  EXPECT_EQ(port->Write(out, 1), 0);
  modem->SetLines(1, true, true);
  EXPECT_EQ(port->Write(out, 1), 1);
}

TEST_F(PortTest, ModemLinesReadTheFarEndsOutputs) {
  port->Open();
  EXPECT_FALSE(port->ModemLineActive(4));
  modem->SetLines(1, true, false);
  EXPECT_TRUE(port->ModemLineActive(2));
  EXPECT_TRUE(port->ModemLineActive(4));
  EXPECT_FALSE(port->ModemLineActive(1));
  EXPECT_FALSE(port->ModemLineActive(3));
  EXPECT_FALSE(port->ModemLineActive(0));
  EXPECT_FALSE(port->ModemLineActive(5));
  modem->SetCarrier(0, false);
  EXPECT_FALSE(port->ModemLineActive(4));
  port->SetDTR(true);
  port->SetRTS(true);
  EXPECT_TRUE(modem->Dtr(0));
  EXPECT_TRUE(modem->Rts(0));
  port->SetDTR(false);
  EXPECT_FALSE(modem->Dtr(0));
}

TEST_F(PortTest, CloseIsHarmlessTwiceAndTheDestructorClosesAnOpenPort) {
  port->Open();
  port->SetDTR(true);
  port->Close();
  EXPECT_FALSE(port->Connected());
  EXPECT_FALSE(modem->Dtr(0));  // closing drops the lines
  port->Close();
  port->Open();
  port->SetDTR(true);
  EXPECT_TRUE(modem->Dtr(0));
  delete port;
  port = nullptr;
  EXPECT_FALSE(modem->Dtr(0));
  EXPECT_TRUE(toolkit.boxes().empty());
}

TEST_F(PortTest, EventCharactersFeedTheLineState) {
  TCommEventChars& chars = port->EventChars();
  EXPECT_EQ(chars.XOnChar(), 17);
  EXPECT_EQ(chars.XOffChar(), 19);
  EXPECT_EQ(chars.ErrorChar(), 0);
  EXPECT_EQ(chars.EofChar(), 0);
  EXPECT_EQ(chars.EvtChar(), 0);
  chars.SetXOnChar(0x21);  // closed: stored only
  EXPECT_EQ(modem->Calls(0), 0u);
  port->Open();
  EXPECT_EQ(modem->State(0).XonChar, 0x21);
  chars.SetEvtChar(0x0D);
  EXPECT_EQ(modem->State(0).EvtChar, 0x0D);
  chars.SetEventChar(6, 0x44);  // no such character: the line state is rewritten unchanged
  EXPECT_EQ(modem->State(0).EvtChar, 0x0D);

  TCommEventChars other(nullptr);
  other.SetXOnChar(1);
  other.SetXOffChar(2);
  other.SetErrorChar(3);
  other.SetEofChar(4);
  other.SetEvtChar(5);
  UntilEventThreadWaits();
  const uint64_t calls = modem->Calls(0);
  chars.CopyFrom(other);
  EXPECT_EQ(modem->Calls(0), calls);
  EXPECT_EQ(chars.XOnChar(), 1);
  EXPECT_EQ(chars.XOffChar(), 2);
  EXPECT_EQ(chars.ErrorChar(), 3);
  EXPECT_EQ(chars.EofChar(), 4);
  EXPECT_EQ(chars.EvtChar(), 5);
  struct Other : TPersistent {};
  EXPECT_THROW(chars.CopyFrom(Other{}), ToolkitError);
}

}  // namespace
}  // namespace odu::testing
