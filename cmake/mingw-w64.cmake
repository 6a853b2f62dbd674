# Cross toolchain: 64-bit Windows through Debian's mingw-w64 (posix threads
# variant), linking the Universal CRT instead of msvcrt. Installed with
# Tavrik as share/tavrik/mingw-w64.cmake:
#
#   cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=<prefix>/share/tavrik/mingw-w64.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix>
#
# Libraries, headers and packages are looked for only below the MinGW-w64
# root (CMAKE_FIND_ROOT_PATH_MODE_* ONLY), as cross toolchain files do.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Installed beside a Tavrik package, the toolchain names that package:
# with packages looked for below the MinGW-w64 root only, a prefix such as
# /opt/tavrik would otherwise be looked for as /usr/x86_64-w64-mingw32/opt/tavrik.
# (A package in /usr is found through the forwarding file Tavrik installs
# below the MinGW-w64 root.)
get_filename_component(_tavrik_package_dir "${CMAKE_CURRENT_LIST_DIR}/../../lib/cmake/Tavrik" ABSOLUTE)
if(NOT DEFINED Tavrik_DIR AND EXISTS "${_tavrik_package_dir}/TavrikConfig.cmake")
  set(Tavrik_DIR "${_tavrik_package_dir}")
endif()

# A specs file derived from the compiler's own, with msvcrt swapped for ucrt.
set(TAVRIK_UCRT_SPECS "${CMAKE_BINARY_DIR}/ucrt.specs")
if(NOT EXISTS "${TAVRIK_UCRT_SPECS}")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpspecs OUTPUT_VARIABLE _specs)
  string(REPLACE "-lmsvcrt" "-lucrt" _specs "${_specs}")
  file(WRITE "${TAVRIK_UCRT_SPECS}" "${_specs}")
endif()
set(CMAKE_C_FLAGS_INIT "-specs=${TAVRIK_UCRT_SPECS} -D_UCRT")
set(CMAKE_CXX_FLAGS_INIT "-specs=${TAVRIK_UCRT_SPECS} -D_UCRT")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

# In this repository, test programs run under Wine through its wrapper.
if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")
endif()

# Debian's winpthreads was built against msvcrt and calls _setjmp, which the
# Universal CRT's import library names __intrinsic_setjmp. Only programs that
# use C++ threads (the tests, through GoogleTest) link winpthreads.
set(TAVRIK_WINPTHREAD_LINK_FIX "-Wl,--defsym,_setjmp=__intrinsic_setjmp")
