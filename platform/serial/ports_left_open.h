// What the process must undo for its open ports when it is ended at once
// (a second interrupt): the settings each port was found with, and the lock
// file each holds. The devices enter a port when they open it and take it
// out when they have closed it; PutBackOpenPorts may run at any moment on
// any thread, while other threads hold any lock, so it only uses calls that
// are safe there (no lock, no allocation).
#pragma once

namespace odu::platform {

// Puts every open port's settings back and removes the lock files they hold.
// Where the system itself leaves a port as a normal close does (Windows,
// which keeps no lock files), it does nothing.
void PutBackOpenPorts();

}  // namespace odu::platform
