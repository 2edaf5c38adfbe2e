# Intel HEX parsing, the whole-file check of an image given on the command
# line, and the summary of what a run would send for an image. Included from
# the build (include(), not add_subdirectory), so paths are taken from this
# file's own directory.
cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH odu_intel_hex_root)
add_library(odu_intel_hex STATIC
  ${CMAKE_CURRENT_LIST_DIR}/intel_hex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/intel_hex.h
  ${CMAKE_CURRENT_LIST_DIR}/image_summary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_summary.h
)
target_include_directories(odu_intel_hex PUBLIC ${odu_intel_hex_root})
