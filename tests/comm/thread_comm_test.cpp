#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <new>
#include <system_error>

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

// The line state is the device's own, with every field that a setting names
// written over: the settings of a new port, the window's, and rows that give
// each table, flow-control kind, option bit and event character a value that
// no other row or field shares.
TEST_F(PortTest, TheLineStateIsTheDevicesOwnWithTheSettingsWrittenOver) {
  Dcb device;  // differs from every setting below in every field
  device.BaudRate = 1200;
  device.fBinary = false;
  device.fParity = true;
  device.fOutxCtsFlow = true;
  device.fOutxDsrFlow = false;
  device.fDtrControl = 2;
  device.fDsrSensitivity = true;
  device.fTXContinueOnXoff = false;
  device.fOutX = false;
  device.fInX = true;
  device.fErrorChar = true;
  device.fNull = false;
  device.fRtsControl = 3;
  device.fAbortOnError = true;
  device.XonLim = 7;
  device.XoffLim = 9;
  device.ByteSize = 6;
  device.Parity = MARKPARITY;
  device.StopBits = ONE5STOPBITS;
  device.XonChar = 'a';
  device.XoffChar = 'b';
  device.ErrorChar = 'c';
  device.EofChar = 'd';
  device.EvtChar = 'e';

  struct Row {
    const char* name;
    bool configure;  // false: the settings of a new port
    int8_t baud, parity, stop, data, flow;
    uint8_t options;  // bit 0 parity check, 1 DSR sensitivity, 2 TX continue on XOFF, 3 error char, 4 null strip
    std::array<uint8_t, 5> chars;
    // What the device then holds.
    uint32_t rate;
    uint8_t parity_code, stop_code, byte_size;
    bool cts, dsr, outx, inx;
    bool f_parity, f_dsr_sensitivity, f_tx_continue, f_error_char, f_null;
  };
  const Row rows[] = {
      {"new port", false, 0, 0, 0, 0, 0, 0, {}, 9600, NOPARITY, ONESTOPBIT, 8, true, false, false, true, false, false, false, false, false},
      {"window", true, 8, 0, 0, 4, 1, 0x00, {17, 19, 0, 0, 0}, 19200, NOPARITY, ONESTOPBIT, 8, true, true, false, true, false, false, false, false, false},
      {"software flow, even parity, two stop bits, 5 bits", true, 14, 1, 2, 1, 2, 0x05, {1, 2, 3, 4, 5},
       256000, EVENPARITY, TWOSTOPBITS, 5, true, false, true, true, true, false, true, false, false},
      {"no flow, odd parity, 1.5 stop bits, 7 bits", true, 0, 2, 1, 3, 0, 0x1A, {0x11, 0x13, '?', 0x1A, 0x0D},
       110, ODDPARITY, ONE5STOPBITS, 7, false, false, false, false, false, true, false, true, true},
      {"device flow, mark parity, 6 bits", true, 10, 3, 0, 2, 3, 0x08, {'X', 'Y', 'Z', 'W', 'V'},
       56000, MARKPARITY, ONESTOPBIT, 6, true, false, false, true, false, false, false, true, false},
      {"unknown flow kind, space parity", true, 11, 4, 2, 4, 7, 0x10, {9, 8, 7, 6, 5},
       57600, SPACEPARITY, TWOSTOPBITS, 8, true, false, false, true, false, false, false, false, true},
      {"DSR sensitivity alone", true, 13, 0, 0, 4, 3, 0x02, {17, 19, 0, 0, 0},
       128000, NOPARITY, ONESTOPBIT, 8, true, false, false, true, false, true, false, false, false},
  };
  port->Open();
  ASSERT_TRUE(port->Connected());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.configure) {
      port->SetBaudRate(r.baud);
      port->SetParity(r.parity);
      port->SetStopBits(r.stop);
      port->SetDataBits(r.data);
      port->SetFlowControl(r.flow);
      port->Options = r.options;
      TCommEventChars& chars = port->EventChars();
      chars.SetXOnChar(r.chars[0]);
      chars.SetXOffChar(r.chars[1]);
      chars.SetErrorChar(r.chars[2]);
      chars.SetEofChar(r.chars[3]);
      chars.SetEvtChar(r.chars[4]);
    }
    ASSERT_TRUE(port->Device()->SetCommState(device));
    port->UpdateDataControlBlock();

    Dcb expected = device;
    expected.BaudRate = r.rate;
    expected.Parity = r.parity_code;
    expected.StopBits = r.stop_code;
    expected.ByteSize = r.byte_size;
    expected.fOutxCtsFlow = r.cts;
    expected.fOutxDsrFlow = r.dsr;
    expected.fOutX = r.outx;
    expected.fInX = r.inx;
    expected.XonLim = 1024;
    expected.XoffLim = 1024;
    expected.fParity = r.f_parity;
    expected.fDsrSensitivity = r.f_dsr_sensitivity;
    expected.fTXContinueOnXoff = r.f_tx_continue;
    expected.fErrorChar = r.f_error_char;
    expected.fNull = r.f_null;
    const std::array<uint8_t, 5> chars = r.configure ? r.chars : std::array<uint8_t, 5>{17, 19, 0, 0, 0};
    expected.XonChar = chars[0];
    expected.XoffChar = chars[1];
    expected.ErrorChar = chars[2];
    expected.EofChar = chars[3];
    expected.EvtChar = chars[4];
    const Dcb got = modem->State(0);
    EXPECT_EQ(got, expected) << "rate " << got.BaudRate << " parity " << int{got.Parity} << " stop " << int{got.StopBits}
                             << " size " << int{got.ByteSize} << " flow " << got.fOutxCtsFlow << got.fOutxDsrFlow << got.fOutX
                             << got.fInX << " options " << got.fParity << got.fDsrSensitivity << got.fTXContinueOnXoff
                             << got.fErrorChar << got.fNull << " chars " << int{got.XonChar} << "," << int{got.XoffChar} << ","
                             << int{got.ErrorChar} << "," << int{got.EofChar} << "," << int{got.EvtChar};
  }
  EXPECT_TRUE(toolkit.boxes().empty());
}

// Each operation's device calls, in order: what it sets, what it reads, and
// that a failed transfer clears the device's error state.
TEST_F(PortTest, EachOperationMakesItsDeviceCallsInOrder) {
  port->SetOpener(&recorder);
  ConfigureAsWindow();
  uint8_t buf[8] = {1, 2, 3};
  struct Step {
    const char* what;
    std::function<void()> act;
    std::vector<std::string> calls;
  };
  const std::vector<Step> steps = {
      {"open by name", [&] { port->Open(); },
       {"Open(COM1)", "IsCharacterDevice", "SetCommMask(0x1ff)", "SetupComm(4096,4096)", "GetCommState", "SetCommState",
        "SetCommTimeouts(4294967295,0,1000,0,1000)", "SetupComm(4096,4096)", "SetCommMask(0x1ff)"}},
      {"read of nothing", [&] { EXPECT_EQ(port->Read(buf, 0), 0); }, {"ClearCommError"}},
      {"read on a silent line", [&] { EXPECT_EQ(port->Read(buf, 4), 0); }, {"ClearCommError", "ReadFile(4)"}},
      {"failed read",
       [&] {
         modem->SetFault(0, VirtualCall::ReadFile, error::kGenFailure, 1);
         EXPECT_EQ(port->Read(buf, 4), 0);
       },
       {"ClearCommError", "ReadFile(4)", "ClearCommError"}},
      {"write",
       [&] {
         modem->SetLines(1, true, true);
         EXPECT_EQ(port->Write(buf, 3), 3);
       },
       {"WriteFile(3)"}},
      {"failed write",
       [&] {
         modem->SetFault(0, VirtualCall::WriteFile, error::kGenFailure, 1);
         EXPECT_EQ(port->Write(buf, 3), 0);
       },
       {"WriteFile(3)", "ClearCommError"}},
      {"purge the input", [&] { port->PurgeInput(); }, {"PurgeComm(0x0a)"}},
      {"DTR and RTS on and off",
       [&] {
         port->SetDTR(true);
         port->SetDTR(false);
         port->SetRTS(true);
         port->SetRTS(false);
       },
       {"EscapeCommFunction(5)", "EscapeCommFunction(6)", "EscapeCommFunction(3)", "EscapeCommFunction(4)"}},
      {"modem lines",
       [&] {
         EXPECT_FALSE(port->ModemLineActive(3));  // no ring
         EXPECT_FALSE(port->ModemLineActive(5));  // no such line: no call
       },
       {"GetCommModemStatus"}},
      {"settings",
       [&] {
         port->SetBaudRate(8);
         port->SetBaudRate(9);
       },
       {"SetupComm(4096,4096)", "GetCommState", "SetCommState"}},
      {"close",
       [&] {
         port->Close();
         port->Close();
       },
       {"CancelWait", "Close"}},
      {"adopted handle",
       [&] {
         port->InBufferSize = 1024;
         port->OutBufferSize = 2048;
         port->ReadTimeout = 300;
         port->WriteTimeout = 700;
         port->Open(recorder.Wrap(modem->Open(0)));
         EXPECT_TRUE(port->Connected());
       },
       {"SetCommTimeouts(4294967295,0,300,0,700)", "SetupComm(1024,2048)", "SetCommMask(0x1ff)"}},
  };
  for (const Step& step : steps) {
    step.act();
    EXPECT_EQ(recorder.Take(), step.calls) << step.what;
  }
  EXPECT_TRUE(toolkit.boxes().empty());
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

// Each step of Open that fails leaves the port in its own state: closed
// without a word while no serial device is open, open with its event thread
// (arriving bytes reach OnRxChar) and a box for a refused setting. Names are
// opened exactly as given: a name in other case is another name.
TEST_F(PortTest, OpenFailuresAreSilentOrReportedWithTheirCodes) {
  RecordingOpener recorded(opener);
  port->SetOpener(&recorded);
  // The holder of a port in use is told by that open alone.
  opener.FailOpen("COM5", kPortHeldError, {.lock_file = "LCK..COM5", .holder_pid = 42});
  opener.Add("FILE", VirtualNullModem::Create(clock), 0);
  opener.NotCharacterDevice("FILE");
  int received = 0;
  port->OnRxChar = [&](TThreadComm&, uint32_t) { ++received; };
  auto fail = [&](VirtualCall call, uint32_t code) { return [=, this] { modem->SetFault(0, call, code); }; };
  // The event thread's SetCommMask, the second of an open, as a thread that
  // cannot be made.
  auto thread_fails = [&](auto failure) {
    return [&recorded, failure] {
      recorded.before_call = [failure, masks = 0](const std::string& call) mutable {
        if (call.starts_with("SetCommMask") && ++masks == 2) failure();
      };
    };
  };
  const std::function<void()> bad_alloc = thread_fails([] { throw std::bad_alloc(); });
  const std::function<void()> no_thread = thread_fails(
      [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); });
  struct Row {
    const char* what;
    std::string name;
    std::function<void()> arrange;
    bool connected;
    std::vector<std::string> boxes;
    bool closed, events;  // the device was closed again; an event thread runs
    int holder = 0;
  };
  const Row rows[] = {
      {"no such name", "COM9", nullptr, false, {}, false, false},
      {"a port in use", "COM5", nullptr, false, {}, false, false, 42},
      {"no name", "", nullptr, false, {}, false, false},
      {"no character device", "FILE", nullptr, false, {}, true, false},
      {"opened", "COM1", nullptr, true, {}, false, true},
      {"another case is another name", "com1", nullptr, false, {}, false, false},
      {"buffers refused", "COM1", fail(VirtualCall::SetupComm, error::kInvalidParameter), true,
       {"Error initializing Read/Write Buffers.(Error: 87)"}, false, true},
      {"line state refused", "COM1", fail(VirtualCall::SetCommState, error::kGenFailure), true,
       {"Error updating DataControlBlock.(Error: 31)"}, false, true},
      {"timeouts refused", "COM1", fail(VirtualCall::SetCommTimeouts, error::kGenFailure), true,
       {"Error updating CommTimeouts.(Error: 31)"}, false, true},
      {"no memory for the thread", "COM1", bad_alloc, false, {}, true, false},
      {"no thread", "COM1", no_thread, false, {}, true, false},
      {"already open", "COM1", [&] { port->Open(); }, true, {"Port already assigned (open).(Error: -1)"}, false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    port->SetPortName(r.name);
    EXPECT_EQ(port->PortName(), r.name);
    if (r.arrange) r.arrange();
    const size_t shown = toolkit.boxes().size();
    recorded.Take();
    received = 0;
    port->Open();
    EXPECT_EQ(opener.opened().back(), r.name);
    EXPECT_EQ(port->Connected(), r.connected);
    EXPECT_EQ(port->Refusal().holder_pid, r.holder);
    const std::vector<std::string> calls = recorded.Take();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Close"), r.closed ? 1 : 0);
    std::vector<std::string> boxes;
    for (size_t i = shown; i < toolkit.boxes().size(); ++i) {
      boxes.push_back(toolkit.boxes()[i].text);
      EXPECT_EQ(toolkit.boxes()[i].caption, "Serial Port Error.");
    }
    EXPECT_EQ(boxes, r.boxes);
    clock.Schedule(clock.Now() + Millis(5), [&] { modem->Inject(0, Bytes({0x55})); });
    toolkit.RunFor(Millis(50));
    EXPECT_EQ(received > 0, r.events);
    port->Close();
    modem->Take(0);
    for (VirtualCall call : {VirtualCall::SetupComm, VirtualCall::SetCommState, VirtualCall::SetCommTimeouts})
      modem->SetFault(0, call, 0);
    recorded.before_call = nullptr;
  }
  port->SetOpener(&opener);  // the rest outlives `recorded`

  // Both refusals of one open, in the order they came.
  modem->SetFault(0, VirtualCall::SetCommTimeouts, error::kGenFailure, 1);
  modem->SetFault(0, VirtualCall::SetupComm, error::kInvalidParameter);
  const size_t shown = toolkit.boxes().size();
  port->Open();
  EXPECT_TRUE(port->Connected());
  const std::vector<std::string> texts = BoxTexts();
  EXPECT_EQ(std::vector(texts.begin() + static_cast<ptrdiff_t>(shown), texts.end()),
            (std::vector<std::string>{"Error updating CommTimeouts.(Error: 31)",
                                      "Error initializing Read/Write Buffers.(Error: 87)"}));

  modem->SetFault(0, VirtualCall::EscapeCommFunction, error::kGenFailure);
  port->SetRTS(true);
  EXPECT_EQ(BoxTexts().back(), "EscapeCommFunction failure.(Error: 31)");
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
