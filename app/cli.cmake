# The command line: the same window and run on the headless toolkit.
add_library(odu_cli STATIC
  ${CMAKE_CURRENT_LIST_DIR}/cli.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cli_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cli_progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/station_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_explained.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fleet_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fleet_view.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_lines.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simulated_station.cpp
)
target_link_libraries(odu_cli PUBLIC odu_app odu_sim odu_intel_hex)
target_compile_definitions(odu_cli PRIVATE ODU_VERSION="${PROJECT_VERSION}")

add_executable(odu-upgrade ${CMAKE_CURRENT_LIST_DIR}/cli_main.cpp)
set_target_properties(odu-upgrade PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/app)
target_link_libraries(odu-upgrade PRIVATE odu_cli)
if(TARGET odu_windows_resources)
  target_link_libraries(odu-upgrade PRIVATE odu_windows_resources)
endif()
