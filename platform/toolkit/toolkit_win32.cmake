# The Win32 toolkit, for the Windows window program and its window tests.
# Included from the top-level list after the platform library (include(), not
# add_subdirectory), so paths are taken from this file's own directory.
if(WIN32 AND ODU_BUILD_GUI)
  add_library(odu_toolkit_win32 STATIC
    ${CMAKE_CURRENT_LIST_DIR}/toolkit_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/toolkit_win32.h
    ${CMAKE_CURRENT_LIST_DIR}/toolkit_win32_peers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/toolkit_win32_peers.h
  )
  target_link_libraries(odu_toolkit_win32 PUBLIC odu_platform comctl32 gdi32 user32)
  # The window program's choice of toolkit.
  add_library(odu_window_toolkit_win32 STATIC ${CMAKE_CURRENT_LIST_DIR}/window_toolkit_win32.cpp)
  target_link_libraries(odu_window_toolkit_win32 PUBLIC odu_toolkit_win32)
endif()
