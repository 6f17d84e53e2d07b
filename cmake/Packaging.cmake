# The Windows package: `cmake --build --preset windows --target package` writes
# build/windows/package/tovrik-<version>-windows-x64.zip from the install tree:
#
#   tovrik-<version>-windows-x64/
#     INSTALL.md                 install, removal, release signing
#     driver/  tovrik.sys tovrik.inf tovrik.cer
#     bin/     tovrik.exe tovrik_sdk.dll
#     sdk/     include/tovrik/*.h*  lib/tovrik_sdk.lib lib/tovrik_sdk.def lib/cmake/tovrik_sdk/
#
# The binaries go in as built: signed, and never stripped (stripping would break the signature).
if(NOT TOVRIK_WINDOWS)
  return()
endif()

configure_file("${PROJECT_SOURCE_DIR}/packaging/INSTALL.md.in" "${PROJECT_BINARY_DIR}/packaging/INSTALL.md" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/packaging/INSTALL.md" DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tovrik)
set(CPACK_PACKAGE_VENDOR Tovrik)
set(CPACK_PACKAGE_VERSION "${TOVRIK_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tovrik 318QX USB camera: driver, tool and SDK for Windows x64")
set(CPACK_PACKAGE_FILE_NAME "tovrik-${TOVRIK_VERSION}-windows-x64")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/package")
# Everything under one folder named like the archive, so unpacking never spills files.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES OFF)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
include(CPack)
