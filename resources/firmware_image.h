// The outdoor unit's firmware as the program carries it: Intel HEX records,
// one per item, in the order the image is unpacked. The lines are compiled
// into the program from resources/firmware.hex; nothing is read at run time.
#pragma once

#include <span>
#include <string_view>

namespace odu {

// The 731 record lines (730 data records, then the end record), without line
// terminators. The storage is static and lives as long as the program.
std::span<const std::string_view> EmbeddedFirmwareLines();

}  // namespace odu
