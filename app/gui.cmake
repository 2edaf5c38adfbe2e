# The window program, on the toolkit of this build: Win32 on Windows, Qt
# elsewhere. Included after the platform's toolkits and the application
# library; paths are taken from this file's own directory.
if(TARGET odu_window_toolkit_win32)
  set(odu_window_toolkit odu_window_toolkit_win32)
elseif(TARGET odu_window_toolkit_qt)
  set(odu_window_toolkit odu_window_toolkit_qt)
endif()
if(odu_window_toolkit AND TARGET odu_app)
  add_executable(odu-upgrade-gui WIN32 ${CMAKE_CURRENT_LIST_DIR}/gui_main.cpp)
  target_link_libraries(odu-upgrade-gui PRIVATE odu_cli ${odu_window_toolkit})
  if(TARGET odu_windows_resources)
    target_link_libraries(odu-upgrade-gui PRIVATE odu_windows_resources)
  endif()
  set_target_properties(odu-upgrade-gui PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/app)
endif()
