#include "app/main_panel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/panel_texts.h"
#include "comm/enum_serial_ports.h"
#include "platform/toolkit/form_loader.h"
#include "platform/last_error.h"
#include "protocol/bootloader.h"
#include "protocol/intel_hex.h"
#include "protocol/station_frame.h"
#include "resources/firmware_image.h"
#include "resources/main_panel_form.h"
#include "resources/odu_icon.h"

namespace odu {

using namespace odu::platform;

TMainPanel* MainPanel = nullptr;

namespace {

// Why a port could not be opened, from the code it failed with and what the
// device layer found beyond it.
std::string DescribeOpenError(uint32_t code, const OpenRefusal& refusal) {
  using Kind = OpenRefusal::Kind;
  switch (code) {
    case error::kFileNotFound:
    case error::kPathNotFound: return "no such device";
    case error::kAccessDenied:
      return "access denied: the port is in use by another program, or this user may not open it "
             "(on Linux, add the user to the dialout group)";
    case kDeviceGoneError: return "the port has gone: was the adapter unplugged?";
    case kNoHardwareError: return "no such device: the node exists but no hardware answers";
    case kPortHeldError: {
      if (refusal.lock_file.empty()) return "in use by another process";
      if (refusal.holder_pid == 0)
        return "in use: its lock file " + refusal.lock_file +
               " names no process (remove it if no program is using the port)";
      std::string holder = "in use by process " + std::to_string(refusal.holder_pid);
      if (!refusal.holder_name.empty()) holder += " (" + refusal.holder_name + ")";
      return holder + ", which holds " + refusal.lock_file;
    }
    case kNotSerialDeviceError:
      switch (refusal.kind) {
        case Kind::kCharacterDevice: return "not a serial device (a character device that is no terminal)";
        case Kind::kRegularFile: return "not a serial device (a regular file)";
        case Kind::kDirectory: return "not a serial device (a directory)";
        case Kind::kBlockDevice: return "not a serial device (a block device)";
        case Kind::kFifo: return "not a serial device (a FIFO)";
        case Kind::kSocket: return "not a serial device (a socket)";
        case Kind::kUnknown: break;
      }
      return "not a serial device";
    // Ports reached over the network.
    case error::kInvalidName: return "not a port name (rfc2217://HOST:PORT or socket://HOST:PORT)";
    case error::kBadNetPath: return "no such host";
    case error::kConnectionRefused: return "connection refused: nothing listens at that address";
    case error::kNetworkUnreachable:
    case error::kHostUnreachable: return "the host cannot be reached";
    case error::kSemTimeout: return "no answer in time";
    case error::kNotSupported: return "not supported (from a network server: it serves no COM port)";
    default: return "error " + std::to_string(code);
  }
}

}  // namespace

TMainPanel::TMainPanel(TComponent* owner) : TForm(owner) {
  // 1. The window, its controls and timers, from the description.
  LoadForm(*this, kMainPanelForm);
  Panel1 = Find<TPanel>("Panel1");
  Label1 = Find<TLabel>("Label1");
  Button1 = Find<TButton>("Button1");
  ProgressBar1 = Find<TProgressBar>("ProgressBar1");
  ProgSrc = Find<TListBox>("ProgSrc");
  StaticText1 = Find<TStaticText>("StaticText1");
  Delay = Find<TTimer>("Delay");
  Paket = Find<TTimer>("Paket");
  if (!Panel1 || !Label1 || !Button1 || !ProgressBar1 || !ProgSrc || !StaticText1 || !Delay || !Paket)
    throw ToolkitError("The window description lacks a control of the upgrade window.");
  ActiveControl = Button1;
  IconXpm = kIconXpm;
  for (std::string_view line : EmbeddedFirmwareLines()) ProgSrc->Items.emplace_back(line);
  ListPorts = [](std::vector<std::string>& list) { EnumSerialPorts(list); };

  // 2.-5. The run's state and the port.
  Status = "OK";
  Step = 0;
  Port = new TThreadComm(this);
  Port->SetPortName("");
  Port->SetBaudRate(8);
  Port->SetDataBits(4);
  Port->SetStopBits(0);
  Port->SetParity(0);
  Port->SetFlowControl(kFlowHardware);
  Port->OnRxChar = [this](TThreadComm& sender, uint32_t count) { CommRxChar(sender, count); };
}

TMainPanel::~TMainPanel() {
  ReplyCode.clear();
  Status.clear();
}

bool TMainPanel::BindEvent(TComponent& component, const std::string& event, const std::string& handler) {
  if (event == "OnClose" && handler == "FormClose" && &component == this) {
    OnClose = [this](TForm& sender, TCloseAction& action) { FormClose(sender, action); };
    return true;
  }
  if (auto* button = dynamic_cast<TButton*>(&component); button && event == "OnClick" && handler == "Button1Click") {
    button->OnClick = [this](TButton& sender) { Button1Click(sender); };
    return true;
  }
  if (auto* timer = dynamic_cast<TTimer*>(&component); timer && event == "OnTimer") {
    if (handler == "DelayTimer") {
      timer->OnTimer = [this](TTimer& sender) { DelayTimer(sender); };
      return true;
    }
    if (handler == "PaketTimer") {
      timer->OnTimer = [this](TTimer& sender) { PaketTimer(sender); };
      return true;
    }
  }
  return false;
}

void TMainPanel::FormClose(TForm&, TCloseAction&) {
  if (Port->Connected()) Port->Close();
}

// ---- Start, the port scan and the handshake ----

void TMainPanel::Button1Click(TButton&) {
  Button1->SetEnabled(false);
  ShowStage(Stage::kInitialize);
  // The scan blocks this thread: paint the status line alone, now.
  StaticText1->Repaint();

  std::string verdict;
  if (!ScanPorts(verdict)) {
    // Stopped by whoever asked: they say so.
    Button1->SetEnabled(true);
    ShowStage(Stage::kIdle);
    return;
  }

  if (!Port->Connected()) {
    CurrentToolkit().MessageBox(kStationNotFound, CaptionText(Caption::kHardware));
    Button1->SetEnabled(true);
    ShowStage(Stage::kIdle);
    return;
  }
  if (verdict != "OK") {
    CurrentToolkit().MessageBox(verdict, CaptionText(Caption::kInitialize));
    Port->Close();
    Button1->SetEnabled(true);
    ShowStage(Stage::kIdle);
    return;
  }
  UnpackImage();
  ShowStage(Stage::kErase);
  Step = 1;
  Retries = 0;
  LateReplies = 0;
  Settling = false;
  TimedOut = false;
  EndCheck = false;
  RepliesOutOfStep = false;
  SendPending = true;
  Delay->SetInterval(1000);
  Delay->SetEnabled(true);
}

bool TMainPanel::ScanPorts(std::string& verdict) {
  auto report = [this](ScanFinding::Kind kind, const std::string& port, std::string text) {
    if (OnScanReport) OnScanReport(ScanFinding{kind, port, std::move(text)});
  };
  auto stopped = [this] { return StopScan && StopScan(); };
  std::vector<std::string> names;
  ListPorts(names);
  int attempts = 0;  // shared by the whole scan
  for (const std::string& name : names) {
    if (stopped()) return false;
    Port->SetPortName(name);
    SetLastError(0);
    Port->Open();
    if (!Port->Connected()) {
      report(ScanFinding::Kind::kNotOpened, name, "could not be opened: " + DescribeOpenError(GetLastError(), Port->Refusal()));
      continue;
    }
    Port->SetDTR(true);
    Port->SetRTS(true);
    if (!Port->ModemLineActive(4)) {
      Port->Close();
      report(ScanFinding::Kind::kNoCarrier, name, "no carrier detect: nothing sent");
      continue;
    }
    int tried = 0;
    for (;;) {
      // At most one read after the stop was asked for, and no frame.
      if (stopped()) {
        Port->Close();
        return false;
      }
      Port->PurgeInput();
      Port->Write(kInitFrame, sizeof kInitFrame);
      // A fresh buffer for every read: bytes left from an earlier port or
      // attempt must not complete a short reply.
      uint8_t reply[10] = {};
      const int32_t count = Port->Read(reply, sizeof reply);
      ++tried;
      if (CheckStationReply(reply, count, verdict)) {
        report(ScanFinding::Kind::kAnswered, name, "station answered: " + verdict);
        return true;
      }
      const int noted = attempts++;
      if (noted < 3) continue;
      Port->Close();
      report(ScanFinding::Kind::kNoValidReply, name, "no valid reply after " + std::to_string(tried) + (tried == 1 ? " attempt" : " attempts"));
      break;
    }
  }
  return true;
}

bool TMainPanel::Handshake(std::string& verdict) {
  if (!ScanPorts(verdict) || !Port->Connected()) return false;
  Port->Close();
  return true;
}

// ---- the firmware image ----

void TMainPanel::UnpackImage() {
  UnpackRecords(ProgSrc->Items, Image);
  for (const std::string& line : ProgSrc->Items) {
    const int address = static_cast<int>(ScanHex(line, 3, 4) & 0xFFFF);
    if (ProgressBar1->Max() < address) ProgressBar1->SetMax(address);
  }
}

// ---- the programming sequence ----

void TMainPanel::SendRecord(const uint8_t* payload, uint8_t length) {
  uint8_t frame[256];
  const size_t n = BuildFrame(kCommandRecord, payload, length, frame);
  if (n == 0) return;  // no frame can carry it
  Port->Write(frame, static_cast<uint32_t>(n));
}

void TMainPanel::DoStep() {
  if (Step == 0) return;
  if (Status != "OK") {
    FailedEnd();
    return;
  }
  if (!SendPending) return;
  Port->PurgeInput();
  // A reply half assembled for the previous send would be completed by the
  // bytes of the next one's reply: drop it.
  Paket->SetEnabled(false);
  auto send = [this](const std::string& record, uint32_t timeout) {
    SendRecord(reinterpret_cast<const uint8_t*>(record.data()), static_cast<uint8_t>(record.size()));
    Delay->SetInterval(timeout);
    Delay->SetEnabled(true);
    SendPending = false;
  };
  switch (Step) {
    case 1: send(kEraseRecord, kEraseTimeoutMs); break;
    case 2:
      for (;;) {
        const std::string record = DataRecord(Image + Address, static_cast<uint16_t>(Address));
        if (record.compare(9, 32, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF") == 0) {
          Address += 16;
          if (Address < 0x10000) continue;
          Retries = 0;
          ShowStage(Stage::kReset);
          ShowPosition(0);
          Step = 3;
          DoStep();
          return;
        }
        send(record, kReplyTimeoutMs);
        break;
      }
      break;
    case 3:
    case 4:
    case 5: send(kClosingRecords[Step - 3], kReplyTimeoutMs); break;
    default: break;
  }
}

void TMainPanel::FailedEnd() {
  Step = 0;
  LateReplies = 0;
  Settling = false;
  EndCheck = false;
  const std::string message = Status;
  Status = "OK";
  Port->Close();
  Delay->SetEnabled(false);
  ShowStage(Stage::kIdle);
  ShowPosition(0);
  CurrentToolkit().MessageBox(message, CaptionText(Caption::kUpgrade));
  Button1->SetEnabled(true);
}

void TMainPanel::DelayTimer(TTimer&) {
  Delay->SetEnabled(false);
  if (EndCheck) {
    // Nothing was owed: the replies stayed in step.
    EndCheck = false;
    Succeed();
  } else if (Settling) {
    // The replies still owed did not come within a reply timeout of the
    // first one: they are taken as lost.
    Settling = false;
    Advance(SettlePositive);
  } else if (!SendPending) {
    TimedOut = true;
    const uint32_t noted = Retries++;
    if (noted < 3) {
      SendPending = true;
      ++LateReplies;  // the send that timed out may still be answered
    } else {
      Status = kCommandTimeout;
    }
  }
  DoStep();
}

// How late a reply may come: a reply owed to an earlier send is told apart
// only when it completes within the settling wait (kLateReplyMs, 3 s; the
// erase's own 10 s) of the first reply that follows the re-send, that is, up
// to about that much later than its own command's timeout. A reply later
// than that arrives while the next command is outstanding and is taken for
// its answer: without sequence numbers nothing can tell the two apart (the
// end check, at LastAcknowledged, catches what that leaves out of step).
// The wait is that long because a short one lets a late reply take the
// place of the reply to a command the station never received, which
// nothing shows afterwards; it costs time only when a reply is lost. A
// fault-free run never settles, so its frames and timing are unchanged.
bool TMainPanel::SettleReply(bool& positive) {
  if (!Settling && LateReplies == 0) {
    Delay->SetEnabled(false);
    return true;
  }
  if (!Settling) {
    Settling = true;
    SettlePositive = positive;
    Delay->SetEnabled(false);
    Delay->SetInterval(std::max(Delay->Interval(), kLateReplyMs));
    Delay->SetEnabled(true);  // from now
    return false;
  }
  // A refusal by either send must not let the command count as done.
  SettlePositive = SettlePositive && positive;
  if (--LateReplies > 0) return false;
  Settling = false;
  Delay->SetEnabled(false);
  positive = SettlePositive;
  return true;
}

void TMainPanel::Advance(bool positive) {
  LateReplies = 0;  // every reply the command was owed has come, or is taken as lost
  auto retry = [this] {
    const uint32_t noted = Retries++;
    if (noted < 3)
      SendPending = true;
    else
      Status = kCommunicationError;
  };
  switch (Step) {
    case 1:
      if (positive) {
        Retries = 0;
        ShowStage(Stage::kProgramming);
        Address = 0;
        Step = 2;
        SendPending = true;
      } else {
        Status = kCommunicationError;  // a refused erase is never sent again
      }
      break;
    case 2:
      if (positive) {
        Retries = 0;
        Address += 16;
        if (Address < 0x10000) {
          SendPending = true;
          ShowPosition(Address);
        } else {
          Retries = 0;
          ShowStage(Stage::kReset);
          ShowPosition(0);
          Step = 3;
          SendPending = true;
        }
      } else {
        retry();
      }
      break;
    case 3:
    case 4:
      if (positive) {
        Retries = 0;
        ++Step;
        SendPending = true;
      } else {
        retry();
      }
      break;
    case 5:
      if (positive) {
        LastAcknowledged();
      } else {
        retry();
      }
      break;
    default: break;
  }
}

// The end check. Replies carry no sequence number, and a reply later than
// the settling wait can tell apart (see SettleReply) is taken for the answer
// to the command outstanding when it comes. From then on every reply is
// taken for the command after the one it answers: a refusal is charged to
// the wrong command and the refused one is never sent again. Such a shift
// shows at the end: the tool takes the reply to the second closing command
// for the last one's acknowledgement, and the station still owes the reply
// to the last one. So a run in which any reply timed out listens one more
// reply timeout (1 s) after that acknowledgement, and a whole station frame
// in that time (start byte, length and checksum valid) ends it as a
// communication error; other bytes (a unit that restarts may print on the
// line) do not count. The bound: the owed reply is seen when it comes within
// one reply timeout of the acknowledgement, which it does from a station
// that answers its commands within their timeout. What remains unseen is a
// shift that a later lost reply cancels before the end: the replies are in
// step again, nothing is owed, and a refusal charged to the wrong command in
// between goes unnoticed; so does a late reply that takes the place of the
// reply to a command the station never received. A run without a timeout
// cannot be out of step and ends at the acknowledgement itself, with its
// frames and timing unchanged.
void TMainPanel::LastAcknowledged() {
  Retries = 0;
  if (!TimedOut) {
    Succeed();
    return;
  }
  EndCheck = true;
  Delay->SetInterval(kReplyTimeoutMs);
  Delay->SetEnabled(true);
}

void TMainPanel::Succeed() {
  Step = 0;
  Port->Close();
  ShowStage(Stage::kDone);
  Button1->SetEnabled(true);  // ready for the next unit
}

void TMainPanel::PaketTimer(TTimer&) { Paket->SetEnabled(false); }

void TMainPanel::ShowStage(Stage stage) {
  StaticText1->SetCaption(StageText(stage));
  if (stage == stage_) return;
  stage_ = stage;
  if (OnStage) OnStage(stage);
}

void TMainPanel::ShowPosition(int32_t position) {
  ProgressBar1->SetPosition(position);
  if (OnPosition) OnPosition(position);
}

void TMainPanel::CommRxChar(TThreadComm&, uint32_t count) {
  auto reading = [this] { return Step != 0 && Status == "OK" && !SendPending; };
  if (!reading()) return;
  uint8_t buffer[256];
  uint32_t left = count;
  bool stepped = false;
  while (left > 0) {
    const int32_t got = Port->Read(buffer, std::min<uint32_t>(left, sizeof buffer));
    if (got <= 0) return;
    left -= std::min<uint32_t>(left, static_cast<uint32_t>(got));
    for (int32_t i = 0; i < got; ++i) {
      const uint8_t byte = buffer[i];
      if (!Paket->Enabled()) {
        if (byte == kFrameStart) {
          RxLength = 0;
          RxFrame[0] = byte;
          RxCount = 1;
          Paket->SetEnabled(true);
        }
        continue;
      }
      if (RxLength == 0) {
        if (static_cast<int8_t>(byte) < 6) continue;  // cannot be a length
        RxLength = byte;
      }
      RxFrame[RxCount++] = byte;
      if (RxCount < RxLength) continue;

      // A whole frame.
      Paket->SetEnabled(false);
      ReplyCode = "X";
      const bool consistent = FrameChecksumHolds(RxFrame);
      if (consistent) {
        if (RxFrame[4] == kAnswerAck) ReplyCode = ".";
        if (RxFrame[4] == kAnswerStatus) ReplyCode = std::to_string(RxFrame[5]);
      }
      bool positive = ReplyCode == ".";
      if (EndCheck) {
        if (!consistent) continue;  // not a station frame
        EndCheck = false;
        RepliesOutOfStep = true;
        Status = kCommunicationError;
        DoStep();
        return;
      }
      if (!SettleReply(positive)) continue;
      Advance(positive);
      DoStep();
      stepped = true;
    }
    // After a whole frame the next send purged the queue, or the run ended:
    // what was counted is gone, and a further read would only wait.
    if (stepped || !reading()) return;
  }
}

}  // namespace odu
