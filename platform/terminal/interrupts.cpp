// The interrupt handler slot shared by the terminal backends.
#include <mutex>

#include "platform/terminal/terminal.h"

namespace odu::platform {

namespace {
std::mutex handler_mutex;
std::function<void()> current_handler;
bool delivered = false;
}  // namespace

void SetInterruptHandler(std::function<void()> handler) {
  std::lock_guard lock(handler_mutex);
  current_handler = std::move(handler);
}

bool DeliverInterrupt() {
  // Held while the handler runs, so that clearing the slot waits for it.
  std::lock_guard lock(handler_mutex);
  if (!current_handler || delivered) return false;
  delivered = true;
  current_handler();
  return true;
}

}  // namespace odu::platform
