# The Qt 6 Widgets toolkit, for the window program and the window tests.
# Included from the top-level list after the platform library (include(), not
# add_subdirectory), so paths are taken from this file's own directory.
# Without ODU_BUILD_GUI or without Qt 6 there is no odu_toolkit_qt target, and
# whatever needs it is skipped.
if(ODU_BUILD_GUI)
  find_package(Qt6 QUIET COMPONENTS Widgets)
  if(Qt6Widgets_FOUND)
    add_library(odu_toolkit_qt STATIC
      ${CMAKE_CURRENT_LIST_DIR}/toolkit_qt.cpp
      ${CMAKE_CURRENT_LIST_DIR}/toolkit_qt.h
    )
    target_link_libraries(odu_toolkit_qt PUBLIC odu_platform Qt6::Widgets)
    # The window program's choice of toolkit.
    add_library(odu_window_toolkit_qt STATIC ${CMAKE_CURRENT_LIST_DIR}/window_toolkit_qt.cpp)
    target_link_libraries(odu_window_toolkit_qt PUBLIC odu_toolkit_qt)
  elseif(ODU_REQUIRE_GUI AND NOT WIN32)
    message(FATAL_ERROR "Qt 6 Widgets not found, and ODU_REQUIRE_GUI asks for the window program")
  else()
    message(STATUS "Qt 6 Widgets not found: the window program and the window tests are skipped")
  endif()
endif()
