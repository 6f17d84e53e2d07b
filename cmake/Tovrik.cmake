# Shared build rules.

# Warnings are errors in both builds, for every target of ours.
function(tovrik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
endfunction()

# The driver is kernel code in both builds: no exceptions, no RTTI, no C++ standard library,
# nothing that needs a C runtime to run before DriverEntry (thread-safe statics, atexit).
# Unwind tables stay on: on x64 the kernel's debugger, crash dumps and stack traces walk a
# driver's frames only through the .pdata/.xdata records the compiler emits for each routine.
set(TOVRIK_KERNEL_FLAGS
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
  -nostdinc++ -fasynchronous-unwind-tables)

function(tovrik_kernel_code target)
  target_compile_options(${target} PRIVATE ${TOVRIK_KERNEL_FLAGS})
  tovrik_warnings(${target})
endfunction()

# A compiler for the build machine, for small generators that run during the build even when
# the build itself is a cross build.
find_program(TOVRIK_HOST_CXX NAMES g++ c++ clang++ REQUIRED)
include(${CMAKE_CURRENT_LIST_DIR}/Subfolders.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Version.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Signing.cmake)

# The host build's libraries also go into the installable shared SDK (sdk/CMakeLists.txt), so they
# are compiled as position-independent code.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
