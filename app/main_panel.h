// The upgrade window, which is also the holder of the upgrade run: the Start
// button's port scan and station handshake, the firmware image, and the
// bootloader programming sequence that runs on timer ticks and receive
// notifications.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/panel_texts.h"
#include "comm/thread_comm.h"
#include "platform/toolkit/controls.h"

namespace odu {

// What the port scan found on a port it tried: the kind, for whoever acts
// on it, and the text that tells it.
struct ScanFinding {
  enum class Kind {
    kNotOpened,     // "could not be opened: ..."
    kNoCarrier,     // "no carrier detect: nothing sent"
    kNoValidReply,  // "no valid reply after N attempts"
    kAnswered,      // "station answered: <verdict>"
    kNoModemLines,  // the command line's word for no carrier on a port without modem-control lines
  };
  Kind kind;
  std::string port;
  std::string text;
};

class TMainPanel : public platform::TForm {
 public:
  explicit TMainPanel(platform::TComponent* owner);
  ~TMainPanel() override;

  // Controls and timers, built from the window's description.
  platform::TPanel* Panel1 = nullptr;
  platform::TLabel* Label1 = nullptr;
  platform::TButton* Button1 = nullptr;
  platform::TProgressBar* ProgressBar1 = nullptr;
  platform::TListBox* ProgSrc = nullptr;
  platform::TStaticText* StaticText1 = nullptr;
  platform::TTimer* Delay = nullptr;
  platform::TTimer* Paket = nullptr;

  // The run's state.
  TThreadComm* Port = nullptr;
  int32_t Step = 0;
  uint32_t Retries = 0;
  int32_t Address = 0;
  std::string Status;
  std::string ReplyCode;
  bool SendPending = false;
  uint8_t RxFrame[256] = {};
  uint32_t RxCount = 0;
  uint32_t RxLength = 0;
  uint8_t Image[65536] = {};
  // Replies carry no sequence number, so after a timeout has made the tool
  // send a command again, the station may still owe a reply to an earlier
  // send of it. LateReplies counts those sends. The first reply that comes
  // after such a re-send is not acted on at once: while Settling, the tool
  // waits up to the settling wait (Delay) for the replies still owed, and then
  // acts on all of them together, as an acknowledgement only when every one
  // of them was one (SettlePositive).
  uint32_t LateReplies = 0;
  bool Settling = false;
  bool SettlePositive = false;
  // A run in which some reply timed out does not end at the acknowledgement
  // of the last closing command: it listens one more reply timeout first
  // (EndCheck), and a whole station frame in that time means that the
  // replies had fallen out of step (RepliesOutOfStep, kept until the next
  // Start for whoever explains the failure).
  bool TimedOut = false;
  bool EndCheck = false;
  bool RepliesOutOfStep = false;

  // Handlers.
  void FormClose(platform::TForm& sender, platform::TCloseAction& action);
  void Button1Click(platform::TButton& sender);
  void DelayTimer(platform::TTimer& sender);
  void PaketTimer(platform::TTimer& sender);
  void CommRxChar(TThreadComm& sender, uint32_t count);

  void UnpackImage();
  void DoStep();
  void SendRecord(const uint8_t* payload, uint8_t length);

  // Where the scan gets the machine's port names; the platform's list
  // unless replaced (tests, the command line's --port).
  std::function<void(std::vector<std::string>& list)> ListPorts;

  // What the scan found on each port it tried, for whoever wants to tell
  // the user (the command line's --verbose). Optional.
  std::function<void(const ScanFinding& finding)> OnScanReport;

  // The stage shown in the status line, and the bar's position, as they
  // change: for whoever follows the run (the command line's progress).
  // Optional.
  Stage stage() const { return stage_; }
  std::function<void(Stage stage)> OnStage;
  std::function<void(int32_t position)> OnPosition;

  // Whether the scan is to stop where it is (an interrupt of the command
  // line; called on the window's thread, answered from any thread): asked
  // before each port is opened and before each attempt. A stopped scan
  // leaves every port closed, and the Start handler then ends without a
  // box. Optional: without it the scan runs to its end.
  std::function<bool()> StopScan;

  // The scan alone, for a look at the station that leaves its unit as it
  // is (odu-upgrade --handshake-only): true with the verdict of the station
  // that answered, whose port is closed again; false when none answered.
  // A stopped scan is false too.
  bool Handshake(std::string& verdict);

  bool BindEvent(platform::TComponent& component, const std::string& event, const std::string& handler) override;

 private:
  // The port scan: leaves the answering station's port open with its
  // verdict, or every port closed.
  // False when StopScan stopped it.
  bool ScanPorts(std::string& verdict);
  void FailedEnd();
  // The acknowledgement of the last closing command, and the end of the run
  // unless it is to listen for owed replies first.
  void LastAcknowledged();
  void Succeed();
  // Whether a complete reply's verdict is final, or the tool waits for
  // replies still owed to earlier sends (positive then holds the verdict of
  // all of them).
  bool SettleReply(bool& positive);
  // Moves the sequence on by the verdict on the outstanding command.
  void Advance(bool positive);
  // The status line and the bar, and whoever follows them.
  void ShowStage(Stage stage);
  void ShowPosition(int32_t position);

  Stage stage_ = Stage::kIdle;
};

// The program's one window.
extern TMainPanel* MainPanel;

}  // namespace odu
