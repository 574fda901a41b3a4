# Installation and packaging: what `cmake --install` puts where, the CMake
# package (find_package(OrvantaPassThru) -> Orvanta::passthru), the
# pkg-config file, the registration file for Linux J2534 host programs, the
# udev rule, the man pages and the Debian package built by CPack.
#
# Files that name an installed path (the pkg-config file and the J2534
# registration file) are written at install time from the prefix in force
# then, so `cmake --install --prefix DIR` and the package staging of CPack
# both get paths that match where the files really land.
#
# Failure reporting: configuration errors stop cmake; a missing optional
# tool (gzip, dpkg-shlibdeps) only changes how the result is produced.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORV_PACKAGE_NAME "orvanta-passthru")
set(ORV_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/OrvantaPassThru")
set(ORV_PASSTHRU_SHARE_DIR "${CMAKE_INSTALL_DATADIR}/orvanta/passthru")
set(ORV_LINUX_DESKTOP OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(ORV_LINUX_DESKTOP ON)
endif()
file(RELATIVE_PATH ORV_BIN_TO_SHARE "/${CMAKE_INSTALL_BINDIR}" "/${ORV_PASSTHRU_SHARE_DIR}")
set(ORV_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Where the udev rule is installed, relative to the prefix (udev reads /usr/lib/udev/rules.d)")

# --- the library, its header and the programs ----------------------------------

set_target_properties(orvanta_passthru PROPERTIES EXPORT_NAME passthru)
# The same name for projects that build this one as a subdirectory.
add_library(Orvanta::passthru ALIAS orvanta_passthru)
install(TARGETS orvanta_passthru EXPORT OrvantaPassThruTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${ORV_ROOT}/passthru/include/orvanta_j2534.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The unsigned long flavour (Linux), in the same CMake package.
if(TARGET orvanta_passthru_lp64)
  set_target_properties(orvanta_passthru_lp64 PROPERTIES EXPORT_NAME passthru_lp64)
  add_library(Orvanta::passthru_lp64 ALIAS orvanta_passthru_lp64)
  install(TARGETS orvanta_passthru_lp64 EXPORT OrvantaPassThruTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# A program that links the library finds it from bin/ through a relative
# run path under any prefix (and in the system directories anyway).
file(RELATIVE_PATH ORV_BIN_TO_LIB "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
foreach(program orvanta-provision orvanta-adapter-sim orvanta-adapter)
  if(TARGET ${program})
    get_target_property(links ${program} LINK_LIBRARIES)
    if(NOT WIN32 AND "orvanta_passthru" IN_LIST links)
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${ORV_BIN_TO_LIB}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Wireshark's extcap program goes where Wireshark looks for it: its system
# extcap folder (Debian: /usr/lib/<triplet>/wireshark/extcap; Wireshark
# reads no folder below another prefix).
if(TARGET orvanta-extcap AND NOT WIN32)
  if(CMAKE_LIBRARY_ARCHITECTURE)
    set(ORV_EXTCAP_DEFAULT "lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/extcap")
  else()
    set(ORV_EXTCAP_DEFAULT "lib/wireshark/extcap")
  endif()
  set(ORV_WIRESHARK_EXTCAP_DIR "${ORV_EXTCAP_DEFAULT}" CACHE STRING
    "Wireshark's extcap folder, relative to the prefix (the package's prefix is /usr)")
  install(TARGETS orvanta-extcap RUNTIME DESTINATION ${ORV_WIRESHARK_EXTCAP_DIR})
endif()

# --- CMake package ------------------------------------------------------------------

install(EXPORT OrvantaPassThruTargets NAMESPACE Orvanta::
  FILE OrvantaPassThruTargets.cmake DESTINATION ${ORV_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/OrvantaPassThruConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/OrvantaPassThruConfig.cmake
  INSTALL_DESTINATION ${ORV_CMAKE_PACKAGE_DIR})
# The major version is the library's SOVERSION: a new major breaks the ABI.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/OrvantaPassThruConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/package/OrvantaPassThruConfig.cmake
  ${CMAKE_BINARY_DIR}/package/OrvantaPassThruConfigVersion.cmake
  DESTINATION ${ORV_CMAKE_PACKAGE_DIR})

# --- files that name installed paths, written at install time ------------------------

# Writes the template `in` to DESTDIR+prefix+`rel` (a file name relative to
# the prefix) with @ORV_PREFIX@ standing for the install-time prefix; mode
# 0644, or 0755 with the extra argument PROGRAM.
function(orv_install_configured in rel)
  set(mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(ARGN STREQUAL "PROGRAM")
    list(APPEND mode OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
  endif()
  install(CODE "
    set(ORV_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(ORV_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(ORV_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(ORV_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
    set(ORV_VERSION \"${PROJECT_VERSION}\")
    set(ORV_SOVERSION \"${PROJECT_VERSION_MAJOR}\")
    set(ORV_BIN_TO_SHARE \"${ORV_BIN_TO_SHARE}\")
    set(ORV_LIBRARY_FILE \"${CMAKE_SHARED_LIBRARY_PREFIX}orvanta_passthru${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR}\")
    set(orv_out \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${rel}\")
    message(STATUS \"Installing: \${orv_out}\")
    configure_file(\"${in}\" \"\${orv_out}\" @ONLY FILE_PERMISSIONS ${mode})
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${orv_out}\")
  ")
endfunction()

if(UNIX)
  orv_install_configured(${CMAKE_CURRENT_LIST_DIR}/orvanta-passthru.pc.in
    "${CMAKE_INSTALL_LIBDIR}/pkgconfig/orvanta-passthru.pc")
endif()
if(TARGET orvanta_passthru_lp64)
  orv_install_configured(${CMAKE_CURRENT_LIST_DIR}/orvanta-passthru-lp64.pc.in
    "${CMAKE_INSTALL_LIBDIR}/pkgconfig/orvanta-passthru-lp64.pc")
endif()

# --- Linux: J2534 registration, udev rule, man pages ------------------------------------

if(ORV_LINUX_DESKTOP)
  orv_install_configured(${ORV_ROOT}/packaging/passthru/orvanta-iot.json.in
    "${ORV_PASSTHRU_SHARE_DIR}/orvanta-iot.json")
  orv_install_configured(${ORV_ROOT}/packaging/passthru/orvanta-register-passthru.in
    "${CMAKE_INSTALL_BINDIR}/orvanta-register-passthru" PROGRAM)
  install(FILES ${ORV_ROOT}/packaging/udev/60-orvanta.rules DESTINATION ${ORV_UDEV_RULES_DIR})

  # A menu entry only where orvanta-provision carries the desktop dialog:
  # the command line alone would have nothing to show.
  if(ORV_GTK_DIALOG)
    install(FILES ${ORV_ROOT}/packaging/desktop/orvanta-provision.desktop
      DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  endif()

  # Man pages go in compressed, as Debian expects them.
  find_program(ORV_GZIP gzip)
  set(ORV_MAN_PAGES orvanta-provision.1 orvanta-adapter-sim.1 orvanta-register-passthru.1)
  if(TARGET orvanta-adapter)
    list(APPEND ORV_MAN_PAGES orvanta-adapter.1)
    install(FILES ${ORV_ROOT}/packaging/bash-completion/orvanta-adapter
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endif()
  set(ORV_MAN_OUTPUTS "")
  foreach(page ${ORV_MAN_PAGES})
    set(source ${ORV_ROOT}/docs/man/${page})
    if(ORV_GZIP)
      set(packed ${CMAKE_BINARY_DIR}/man/${page}.gz)
      add_custom_command(OUTPUT ${packed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${ORV_GZIP} -9 -n -c ${source} > ${packed}
        DEPENDS ${source} VERBATIM)
      list(APPEND ORV_MAN_OUTPUTS ${packed})
    else()
      list(APPEND ORV_MAN_OUTPUTS ${source})
    endif()
  endforeach()
  add_custom_target(orvanta_man_pages ALL DEPENDS ${ORV_MAN_OUTPUTS})
  install(FILES ${ORV_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- Linux: the python-can binding ------------------------------------------------------

# orvanta_can goes where Debian's python3 looks for packages, with the
# metadata through which python-can finds its interface "orvanta" (the
# can.interface entry point) and pip sees it as installed by the system.
set(ORV_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
  "Where the Python binding is installed, relative to the prefix (empty: not installed)")
if(ORV_LINUX_DESKTOP AND ORV_PYTHON_DIR)
  install(DIRECTORY ${ORV_ROOT}/bindings/python/orvanta_can DESTINATION ${ORV_PYTHON_DIR}
    FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
  set(orv_py_info ${CMAKE_BINARY_DIR}/python/orvanta_can-${PROJECT_VERSION}.dist-info)
  file(WRITE ${orv_py_info}/METADATA "Metadata-Version: 2.1\nName: orvanta-can\n\
Version: ${PROJECT_VERSION}\nSummary: python-can interface for the Orvanta pass-thru adapter\n\
Requires-Python: >=3.8\nRequires-Dist: python-can>=4.0\n")
  file(WRITE ${orv_py_info}/entry_points.txt "[can.interface]\norvanta = orvanta_can:OrvantaBus\n")
  file(WRITE ${orv_py_info}/top_level.txt "orvanta_can\n")
  file(WRITE ${orv_py_info}/INSTALLER "debian\n")
  install(DIRECTORY ${orv_py_info} DESTINATION ${ORV_PYTHON_DIR})
endif()

# --- Debian package ------------------------------------------------------------------------

set(CPACK_PACKAGE_NAME ${ORV_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Orvanta")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "J2534 pass-thru library and provisioning tool for the Orvanta adapter")
set(CPACK_PACKAGE_DESCRIPTION
  "SAE J2534 (API 04.04 with J2534-2 extensions) pass-thru library for the\n\
Orvanta vehicle-diagnostic adapter on a USB serial port, with the\n\
orvanta-provision tool that gives an Orvanta-IOT adapter its wireless\n\
network, the orvanta-adapter tool for the adapter's file store, clock,\n\
memory, firmware and debug trace, and the orvanta-adapter-sim emulator\n\
for testing host programs. Wireshark's capture interface orvanta-trace\n\
shows the adapter's CAN buses from the library's debug trace.\n\
.\n\
liborvanta_passthru has the 32-bit J2534 layout; liborvanta_passthru_lp64\n\
the unsigned long one of host programs built from SAE's header on 64-bit\n\
Linux (Qt's pass-thru CAN plugin, for example).\n\
.\n\
The package registers the adapter for Linux J2534 host programs\n\
(orvanta-register-passthru links it into ~/.passthru/) and installs a\n\
udev rule that names a plugged-in adapter /dev/orvanta/com3, where the\n\
library looks for it.\n\
.\n\
The Python module orvanta_can is python-can's interface named orvanta,\n\
with ISO 15765 through the adapter (IsoTpChannel) and a connection for\n\
udsoncan.")
set(ORV_PACKAGE_MAINTAINER "Orvanta PassThru maintainers <passthru@orvanta.invalid>" CACHE STRING
  "Maintainer field of the Debian package")

if(ORV_LINUX_DESKTOP)
  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORV_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  find_program(ORV_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(ORV_DPKG_SHLIBDEPS)
    # orvanta-provision's need of the library of this very package is
    # resolved inside the package through its relative run path.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
  # The Python binding needs python-can; the library and tools do not.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-can")
  # Our own maintainer scripts replace the generated ones, so they run
  # ldconfig themselves besides reloading the udev rules, and byte-compile
  # the Python binding (and remove what that made before removal).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ORV_ROOT}/packaging/debian/postinst
    ${ORV_ROOT}/packaging/debian/prerm ${ORV_ROOT}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
