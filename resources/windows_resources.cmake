# The Windows resources (icon, version information, manifest) as an object
# library that each program links. The 16-colour icon is made from
# odu_icon.xpm at build time by xpm_icon.py. Included from this folder's
# list on Windows builds; the RC language is enabled at the top level.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(odu_ico ${CMAKE_CURRENT_BINARY_DIR}/odu_icon.ico)
set(odu_manifest ${CMAKE_CURRENT_SOURCE_DIR}/odu.manifest)
add_custom_command(
  OUTPUT ${odu_ico}
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/xpm_icon.py ${CMAKE_CURRENT_SOURCE_DIR}/odu_icon.xpm ${odu_ico}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/odu_icon.xpm ${CMAKE_CURRENT_SOURCE_DIR}/xpm_icon.py
  COMMENT "Making the 16-colour icon"
  VERBATIM)

set(odu_rc ${CMAKE_CURRENT_BINARY_DIR}/odu_resources.rc)
configure_file(odu_resources.rc.in ${odu_rc} @ONLY)
set_source_files_properties(${odu_rc} PROPERTIES OBJECT_DEPENDS "${odu_ico};${odu_manifest};${odu_version_dir}/odu_version.h")

add_library(odu_windows_resources OBJECT ${odu_rc})
target_include_directories(odu_windows_resources PRIVATE ${odu_version_dir})
add_dependencies(odu_windows_resources odu_version_header)
