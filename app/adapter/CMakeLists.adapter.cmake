# orvanta-adapter: the adapter's own command-line tool. A platform-free core
# (the subcommands over the public API, trace decoding, the progress
# display), the command line over it, and the program. It links the core
# statically (orvanta_internal: its face without the export attribute, so
# that the program exports nothing): the progress of long transfers comes
# through the core's app-facing header (passthru/app_core.h), which the
# shared library does not export.
#
# The command line needs the header-only CLI11 and nlohmann-json (Debian
# libcli11-dev and nlohmann-json3-dev). Only their two header directories
# are copied into the build tree, so a cross build (mingw) uses them
# without the host's /usr/include on its path. Without them the tool is
# not built.
set(ORV_ADAPTER_DIR ${CMAKE_CURRENT_LIST_DIR})
add_library(orvanta_adapter_core STATIC
  ${ORV_ADAPTER_DIR}/adapter_core.cpp
  ${ORV_ADAPTER_DIR}/trace_decode.cpp
  ${ORV_ADAPTER_DIR}/pcapng.cpp
  ${ORV_ADAPTER_DIR}/progress.cpp)
target_include_directories(orvanta_adapter_core PUBLIC ${ORV_ROOT} ${ORV_ROOT}/passthru/include)
target_link_libraries(orvanta_adapter_core PUBLIC orvanta_internal)
orv_set_warnings(orvanta_adapter_core)

find_path(ORV_CLI11_INCLUDE CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH PATHS /usr/include)
find_path(ORV_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH PATHS /usr/include)
if(ORV_CLI11_INCLUDE AND ORV_JSON_INCLUDE)
  set(ORV_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
  file(COPY ${ORV_CLI11_INCLUDE}/CLI DESTINATION ${ORV_THIRD_PARTY_INCLUDE})
  file(COPY ${ORV_JSON_INCLUDE}/nlohmann DESTINATION ${ORV_THIRD_PARTY_INCLUDE})

  add_library(orvanta_adapter_cli STATIC ${ORV_ADAPTER_DIR}/adapter_cli.cpp)
  target_include_directories(orvanta_adapter_cli SYSTEM PRIVATE ${ORV_THIRD_PARTY_INCLUDE})
  target_compile_definitions(orvanta_adapter_cli PRIVATE ORV_VERSION="${PROJECT_VERSION}")
  target_link_libraries(orvanta_adapter_cli PUBLIC
    orvanta_adapter_core orvanta_tool_platform orvanta_internal)
  orv_set_warnings(orvanta_adapter_cli)

  add_executable(orvanta-adapter ${ORV_ADAPTER_DIR}/orvanta_adapter_main.cpp)
  target_link_libraries(orvanta-adapter PRIVATE orvanta_adapter_cli)
  orv_set_warnings(orvanta-adapter)

  # Wireshark's extcap program: the same listener, streaming pcapng.
  add_executable(orvanta-extcap ${ORV_ADAPTER_DIR}/orvanta_extcap_main.cpp)
  target_link_libraries(orvanta-extcap PRIVATE orvanta_adapter_cli)
  orv_set_warnings(orvanta-extcap)
else()
  message(STATUS "orvanta-adapter not built: CLI11 (libcli11-dev) or nlohmann-json "
    "(nlohmann-json3-dev) headers not found")
endif()

# Always present, so that a build preset can name it: builds the tool where
# its headers were found, and nothing otherwise.
add_custom_target(orvanta-adapter-tool)
if(TARGET orvanta-adapter)
  add_dependencies(orvanta-adapter-tool orvanta-adapter orvanta-extcap)
endif()
