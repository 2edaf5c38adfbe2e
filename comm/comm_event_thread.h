// The port's event thread: waits on the open device for line events and hands
// each completed wait to the window's thread, where the port dispatches it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/serial/serial_device.h"
#include "platform/toolkit/toolkit.h"

namespace odu {

class TCommEventThread;

// The notification slot: the port's dispatcher, called on the window's thread.
using TCommNotifyEvent = std::function<void(TCommEventThread& sender, uint32_t event_mask)>;

class TCommEventThread : public platform::TThread {
 public:
  // Created suspended; sets the device's event mask from `monitored` (the
  // port's set of nine line events).
  TCommEventThread(platform::DeviceHandle device, uint16_t monitored);

  // Written only on the window's thread: by the port's Open before Resume,
  // emptied by its Close.
  TCommNotifyEvent OnNotify;
  uint32_t EventMask() const { return event_mask_; }

  // Window's thread: the body of the synchronous hand-over.
  void DoCommEvent();

  // Window's thread: stops the thread without running the end of its loop.
  // Returns true when the thread has been joined; false when it cannot be
  // joined yet because its own notification is running further up this
  // thread's stack (it ends as soon as that returns; join it later).
  bool Stop();

  // How long a failed wait rests before the next one.
  static constexpr auto kFailedWaitPause = std::chrono::milliseconds(50);

 protected:
  void Execute() override;

 private:
  void RunLoop();
  void PauseAfterFailure();

  platform::DeviceHandle device_;
  uint32_t event_mask_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
};

// The platform event bit of each element of the set of line events, in the
// set's order: break, CTS, DSR, line error, ring, carrier detect, character
// received, event character, output empty.
inline constexpr uint32_t kCommEventBits[9] = {0x0040, 0x0008, 0x0010, 0x0080, 0x0100, 0x0020, 0x0001, 0x0002, 0x0004};

uint32_t EventMaskOf(uint16_t monitored);

}  // namespace odu
