# One version for everything that carries one: the project version (project() in the top-level
# CMakeLists.txt) feeds the INF's DriverVer, the VERSIONINFO resource of every Windows binary, the
# SDK's version call, `tovrik --version`, the SDK's CMake and pkg-config packages and the package
# name. Nothing else in the tree spells a version out.
#
# The driver's own version request (IOCTL_TOVRIK_GET_DRIVER_VERSION) is a wire answer that camera
# software already relies on; it keeps its fixed value and is not derived from here.

if(NOT PROJECT_VERSION_PATCH)
  set(PROJECT_VERSION_PATCH 0)
endif()
if(NOT PROJECT_VERSION_TWEAK)
  set(PROJECT_VERSION_TWEAK 0)
endif()
# Windows wants four parts (w.x.y.z) in DriverVer and in a binary's FILEVERSION.
set(TOVRIK_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
set(TOVRIK_VERSION_QUAD "${TOVRIK_VERSION}.${PROJECT_VERSION_TWEAK}")
set(TOVRIK_VERSION_COMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")

# DriverVer's date. Windows ranks two drivers of one version by it, so it must be the date of the
# sources, not of the machine that happened to build them: SOURCE_DATE_EPOCH when the caller sets
# it (reproducible builds), else the date of the commit checked out, else today.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
    execute_process(
      COMMAND "${GIT_EXECUTABLE}" -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
      OUTPUT_VARIABLE _tovrik_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE _tovrik_git_result ERROR_QUIET)
    if(_tovrik_git_result EQUAL 0 AND _tovrik_commit_time MATCHES "^[0-9]+$")
      set(ENV{SOURCE_DATE_EPOCH} "${_tovrik_commit_time}")
    endif()
  endif()
endif()
string(TIMESTAMP TOVRIK_DRIVER_DATE "%m/%d/%Y" UTC)

# Windows binaries carry a VERSIONINFO resource, compiled by windres.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  enable_language(RC)
endif()

# Gives a Windows target a VERSIONINFO resource: what Explorer's Details tab, PowerShell's
# (Get-Item f).VersionInfo and the driver store show.
#
#   tovrik_version_resource(target TYPE driver|dll|app DESCRIPTION "text")
function(tovrik_version_resource target)
  cmake_parse_arguments(ARG "" "TYPE;DESCRIPTION" "" ${ARGN})
  if(ARG_TYPE STREQUAL "driver")
    set(TOVRIK_RC_FILETYPE "0x3L")      # VFT_DRV
    set(TOVRIK_RC_FILESUBTYPE "0x7L")   # VFT2_DRV_SYSTEM
  elseif(ARG_TYPE STREQUAL "dll")
    set(TOVRIK_RC_FILETYPE "0x2L")      # VFT_DLL
    set(TOVRIK_RC_FILESUBTYPE "0x0L")
  elseif(ARG_TYPE STREQUAL "app")
    set(TOVRIK_RC_FILETYPE "0x1L")      # VFT_APP
    set(TOVRIK_RC_FILESUBTYPE "0x0L")
  else()
    message(FATAL_ERROR "tovrik_version_resource(${target}): TYPE must be driver, dll or app")
  endif()
  set(TOVRIK_RC_DESCRIPTION "${ARG_DESCRIPTION}")
  get_target_property(_name ${target} OUTPUT_NAME)
  if(NOT _name)
    set(_name ${target})
  endif()
  get_target_property(_prefix ${target} PREFIX)
  if(NOT _prefix)
    set(_prefix "")
  endif()
  get_target_property(_suffix ${target} SUFFIX)
  if(NOT _suffix)
    if(ARG_TYPE STREQUAL "dll")
      set(_suffix ".dll")
    else()
      set(_suffix ".exe")
    endif()
  endif()
  set(TOVRIK_RC_ORIGINAL_FILENAME "${_prefix}${_name}${_suffix}")
  set(TOVRIK_RC_INTERNAL_NAME "${_prefix}${_name}")
  set(_rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/version.rc.in" "${_rc}" @ONLY)
  target_sources(${target} PRIVATE "${_rc}")
endfunction()
