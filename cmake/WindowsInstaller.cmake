# The Windows installer (target orvanta-msi, not part of "all"): in the
# mingw-x86_64 build, packs this build's 64-bit DLL and the 32-bit DLL and
# program of the mingw-i686 build into orvanta.msi with wixl
# (packaging/windows/build-msi.sh). Build the mingw-i686 preset first.
if(NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  return()
endif()
set(ORV_MSI_I686_BUILD "${ORV_ROOT}/build/mingw-i686" CACHE PATH
  "Build directory of the mingw-i686 preset, whose files the MSI carries")
add_custom_target(orvanta-msi
  COMMAND ${ORV_ROOT}/packaging/windows/build-msi.sh ${PROJECT_VERSION} ${ORV_MSI_I686_BUILD}
          ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/orvanta.msi
  DEPENDS orvanta_passthru
  BYPRODUCTS ${CMAKE_BINARY_DIR}/orvanta.msi
  COMMENT "Building orvanta.msi ${PROJECT_VERSION}"
  VERBATIM)
