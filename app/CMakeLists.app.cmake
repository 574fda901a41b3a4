# The provisioning application: a platform-free core shared by every front
# end, and the Linux command line orvanta-provision, which links the shared
# pass-thru library the way any host program does. Unit tests link the core
# against the static library instead.
add_library(orvanta_provision_core STATIC ${CMAKE_CURRENT_LIST_DIR}/provision_core.cpp)
target_include_directories(orvanta_provision_core PUBLIC ${ORV_ROOT} ${ORV_ROOT}/passthru/include)
orv_set_warnings(orvanta_provision_core)

# The desktop dialog (app/gtk): when GTK 3 is found it defines
# orvanta-provision itself, as this command line plus the dialog.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/gtk)

if(NOT WIN32 AND NOT TARGET orvanta-provision)
  add_executable(orvanta-provision
    ${CMAKE_CURRENT_LIST_DIR}/cli/orvanta_provision_main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cli/provision_cli.cpp)
  # The static library: the core uses an internal entry point (a write from
  # memory) that the shared library does not export.
  target_link_libraries(orvanta-provision PRIVATE
    orvanta_provision_core orvanta_tool_platform orvanta_static)
  orv_set_warnings(orvanta-provision)
endif()

# The adapter's own command-line tool (app/adapter).
include(${CMAKE_CURRENT_LIST_DIR}/adapter/CMakeLists.adapter.cmake)
