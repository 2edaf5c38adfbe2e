# Turns an Intel HEX file into a C++ source that defines
# odu::EmbeddedFirmwareLines(). Run in script mode:
#   cmake -DINPUT=<file.hex> -DOUTPUT=<file.cpp> -P embed_lines.cmake
# Only record lines (a colon and uppercase hex digits) may appear, so that
# nothing in the file can break out of the string literals; empty lines and
# CR line ends are dropped.
if(NOT DEFINED INPUT OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "embed_lines.cmake needs -DINPUT=... and -DOUTPUT=...")
endif()

file(READ "${INPUT}" text)
string(REPLACE "\r" "" text "${text}")
if(text MATCHES "[;\\[\\]]")
  message(FATAL_ERROR "${INPUT}: unexpected character in the image")
endif()
string(REPLACE "\n" ";" lines "${text}")

set(body "")
set(count 0)
set(number 0)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^:[0-9A-F]+$")
    message(FATAL_ERROR "${INPUT}:${number}: not an uppercase Intel HEX record: ${line}")
  endif()
  string(APPEND body "    \"${line}\",\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${INPUT}: no records")
endif()

file(WRITE "${OUTPUT}.tmp"
"// Generated from firmware.hex by embed_lines.cmake at build time; do not edit.
#include \"resources/firmware_image.h\"

namespace odu {
namespace {

constexpr std::string_view kLines[${count}] = {
${body}};

}  // namespace

std::span<const std::string_view> EmbeddedFirmwareLines() { return kLines; }

}  // namespace odu
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
