// Connects a Station to one end of a virtual null-modem: what the tool
// writes at the other end reaches the station, and the station's replies go
// back paced at the line rate. Like a station on a null-modem cable, the
// link raises the station end's DTR and RTS, which the tool sees as DSR with
// carrier detect and as CTS.
//
// On a virtual clock the replies are scheduled as clock events (run by the
// thread that drives the clock); on the real clock a worker thread of the
// link puts them on the line at their times.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "platform/serial/serial_virtual.h"
#include "sim/station.h"

namespace odu::sim {

class VirtualLink {
 public:
  // `station` and `clock` must outlive the link; `end` is the station's end
  // (0 or 1), the tool is on the other. `baud` paces the replies (0: each
  // reply arrives whole at its time).
  VirtualLink(Station& station, std::shared_ptr<platform::VirtualNullModem> modem, int end, platform::Clock& clock,
              uint32_t baud);
  ~VirtualLink();
  VirtualLink(const VirtualLink&) = delete;
  VirtualLink& operator=(const VirtualLink&) = delete;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};

}  // namespace odu::sim
