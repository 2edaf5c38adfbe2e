#include "sim/virtual_link.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/line_pacer.h"

namespace odu::sim {

using platform::Clock;
using platform::VirtualClock;
using platform::VirtualNullModem;

// What the modem's receive hook, the clock's events and the worker share.
// They hold it by shared pointer, so a hook or event that runs after the
// link is gone finds `alive` false instead of a destroyed object.
struct VirtualLink::Shared {
  Shared(Station& s, std::shared_ptr<VirtualNullModem> m, int e, Clock& c, uint32_t baud)
      : station(&s), modem(std::move(m)), end(e), tool_end(1 - e), clock(c),
        virtual_clock(c.IsVirtual() ? static_cast<VirtualClock*>(&c) : nullptr), pacer(baud) {}

  // Bytes have arrived at the station's end.
  void OnReceive(const std::shared_ptr<Shared>& self) {
    bool vanish = false;
    {
      // Held across Take and Receive, so that bytes taken by two writers'
      // hooks reach the station in the order they arrived.
      std::lock_guard g(mu);
      if (!alive || vanished) return;
      const std::vector<uint8_t> in = modem->Take(end);
      if (in.empty()) return;
      pacer.Add(station->Receive(in, clock.Now()));
      if (station->Vanished()) {
        vanish = vanished = true;
        pacer.Clear();
      }
      ++generation;
      if (virtual_clock) Arm(self);
    }
    cv.notify_all();
    if (vanish) modem->Vanish(tool_end);
  }

  // Virtual clock: makes sure an event runs when the next byte is due.
  // Under mu.
  void Arm(const std::shared_ptr<Shared>& self) {
    const auto due = pacer.NextDue();
    if (!due || (armed && *armed <= *due)) return;
    armed = *due;
    virtual_clock->Schedule(*due, [self, at = *due] { self->Fire(self, at); });
  }

  void Fire(const std::shared_ptr<Shared>& self, Nanos at) {
    LinePacer::Chunk chunk;
    {
      std::lock_guard g(mu);
      if (!alive) return;
      if (armed == at) armed.reset();
      chunk = pacer.TakeDue(clock.Now());
      Arm(self);
    }
    if (!chunk.bytes.empty()) modem->Inject(tool_end, chunk.bytes);
  }

  // Real clock: the worker puts each byte on the line when it is due,
  // together with whatever else is due by then.
  void Run() {
    std::unique_lock lock(mu);
    for (;;) {
      std::optional<Nanos> due;
      while (!stop && !((due = pacer.NextDue()) && *due <= clock.Now())) {
        const uint64_t seen = generation;
        clock.WaitUntil(lock, cv, due.value_or(platform::kForever), [&] { return stop || generation != seen; });
      }
      if (stop) return;
      LinePacer::Chunk chunk = pacer.TakeDue(clock.Now());
      lock.unlock();
      if (!chunk.bytes.empty()) modem->Inject(tool_end, chunk.bytes);
      lock.lock();
    }
  }

  std::mutex mu;
  std::condition_variable cv;
  Station* station;
  std::shared_ptr<VirtualNullModem> modem;
  const int end;
  const int tool_end;
  Clock& clock;
  VirtualClock* const virtual_clock;
  LinePacer pacer;
  bool alive = true;
  bool stop = false;
  bool vanished = false;
  uint64_t generation = 0;      // counts arrivals, to wake the worker
  std::optional<Nanos> armed;  // the earliest clock event still to come
};

VirtualLink::VirtualLink(Station& station, std::shared_ptr<VirtualNullModem> modem, int end, Clock& clock, uint32_t baud)
    : shared_(std::make_shared<Shared>(station, std::move(modem), end, clock, baud)) {
  shared_->modem->SetLines(end, true, true);
  shared_->modem->SetOnReceive(end, [s = shared_] { s->OnReceive(s); });
  if (!shared_->virtual_clock) worker_ = std::thread([s = shared_] { s->Run(); });
}

VirtualLink::~VirtualLink() {
  // The hook holds the shared state (and the modem): dropping it ends the
  // cycle. A hook already running finishes first or finds `alive` false.
  shared_->modem->SetOnReceive(shared_->end, nullptr);
  {
    std::lock_guard g(shared_->mu);
    shared_->alive = false;
    shared_->stop = true;
  }
  shared_->cv.notify_all();
  if (worker_.joinable()) worker_.join();
}

}  // namespace odu::sim
