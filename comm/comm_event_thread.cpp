#include "comm/comm_event_thread.h"

namespace odu {

uint32_t EventMaskOf(uint16_t monitored) {
  uint32_t mask = 0;
  for (int i = 0; i < 9; ++i)
    if (monitored & (1u << i)) mask += kCommEventBits[i];
  return mask;
}

TCommEventThread::TCommEventThread(platform::DeviceHandle device, uint16_t monitored)
    : TThread(true), device_(std::move(device)) {
  // The port joins and deletes this object when it has stopped, so that no
  // thread outlives its port; the thread never frees itself.
  FreeOnTerminate = false;
  device_->SetCommMask(EventMaskOf(monitored));
}

void TCommEventThread::Execute() { RunLoop(); }

void TCommEventThread::RunLoop() {
  while (!Terminated()) {
    uint32_t events = 0;
    const bool ok = device_->WaitCommEvent(events);
    if (stop_) return;  // stopped by the port: not the end of the loop
    if (ok) {
      event_mask_ = events;
      Synchronize([this] { DoCommEvent(); });
      if (stop_) return;
    } else {
      // A vanished or failing device fails every wait at once; rest before
      // the next one instead of spinning.
      PauseAfterFailure();
      if (stop_) return;
    }
  }
  // Told to end through the terminated flag: leave the device clean.
  device_->PurgeComm(platform::PURGE_TXABORT | platform::PURGE_RXABORT | platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR);
}

void TCommEventThread::PauseAfterFailure() {
  platform::Clock& clock = toolkit().clock();
  // Resting is blocking: it does not hold virtual time.
  clock.Release();
  {
    std::unique_lock lock(pause_mutex_);
    pause_cv_.wait_for(lock, kFailedWaitPause, [this] { return stop_.load(); });
  }
  clock.Hold();
}

void TCommEventThread::DoCommEvent() {
  // A copy: the port clears OnNotify when a handler closes or destroys it.
  if (const auto notify = OnNotify) notify(*this, event_mask_);
}

bool TCommEventThread::Stop() {
  {
    std::lock_guard g(pause_mutex_);
    stop_ = true;
  }
  pause_cv_.notify_all();
  device_->CancelWait();
  const bool running_here = toolkit().CancelSynchronize(sync_owner());
  if (running_here) return false;
  WaitFor();
  return true;
}

}  // namespace odu
