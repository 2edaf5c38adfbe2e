# The window program. Included after the platform's Qt toolkit and the
# application library; paths are taken from this file's own directory.
if(TARGET odu_toolkit_qt AND TARGET odu_app)
  add_executable(odu-upgrade-gui ${CMAKE_CURRENT_LIST_DIR}/gui_main.cpp)
  target_link_libraries(odu-upgrade-gui PRIVATE odu_cli odu_toolkit_qt)
  set_target_properties(odu-upgrade-gui PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/app)
endif()
