// On Windows the system closes the handles of a process that ends, which
// leaves each port as the program's own close does, and no lock files are
// kept: nothing to undo.
#include "platform/serial/ports_left_open.h"

namespace odu::platform {

void PutBackOpenPorts() {}

}  // namespace odu::platform
