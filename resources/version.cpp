#include "resources/version.h"

#include "odu_version.h"

namespace odu {

const char* VersionText() { return ODU_VERSION_TEXT; }

}  // namespace odu
