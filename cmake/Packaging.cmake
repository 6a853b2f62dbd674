# What `cmake --install` lays out, and the packages CPack makes of it
# (scripts/package builds both):
#
#   Linux (host tree, a Debian package)     Windows (Windows tree, a ZIP)
#   bin/tavrik-pack                         bin/tavrik-pack.exe
#   share/tavrik/tavrik-launcher.exe        bin/tavrik-launcher.exe
#   share/tavrik/tavrik-run.exe             bin/tavrik-run.exe
#   lib/cmake/Tavrik/                       lib/cmake/Tavrik/
#   share/doc/tavrik/README.md              share/doc/tavrik/README.md
#   share/doc/tavrik/LICENSE, THIRD-PARTY-NOTICES.txt (and, Linux, copyright)
#   include/tavrik/main.h                   include/tavrik/main.h
#   share/tavrik/mingw-w64.cmake            (the cross toolchain file)
#   x86_64-w64-mingw32/lib/cmake/Tavrik/    (finds the package from below
#                                            the MinGW-w64 root)
#
# tavrik-pack finds the stub in either place without --stub. The Linux
# package takes the stub and tavrik-run.exe from the Windows tree, which
# must be built first.
include(CMakePackageConfigHelpers)

set(TAVRIK_INSTALL_CMAKE_DIR lib/cmake/Tavrik)
set(TAVRIK_INSTALL_INCLUDE include)
if(WIN32)
  set(TAVRIK_INSTALL_PACKER bin/tavrik-pack.exe)
  set(TAVRIK_INSTALL_STUB bin/tavrik-launcher.exe)
  set(TAVRIK_INSTALL_RUNNER bin/tavrik-run.exe)
  install(TARGETS tavrik-pack tavrik-launcher tavrik-run RUNTIME DESTINATION bin)
else()
  set(TAVRIK_INSTALL_PACKER bin/tavrik-pack)
  set(TAVRIK_INSTALL_STUB share/tavrik/tavrik-launcher.exe)
  set(TAVRIK_INSTALL_RUNNER share/tavrik/tavrik-run.exe)
  install(TARGETS tavrik-pack RUNTIME DESTINATION bin)
  set(windows_programs "${TAVRIK_WINDOWS_BUILD}/tavrik-launcher.exe" "${TAVRIK_WINDOWS_BUILD}/tavrik-run.exe")
  install(CODE "
    foreach(program ${windows_programs})
      if(NOT EXISTS \"\${program}\")
        message(FATAL_ERROR \"\${program} is missing: build the Windows tree first (scripts/build), \"
                            \"or point TAVRIK_WINDOWS_BUILD at one\")
      endif()
    endforeach()")
  install(PROGRAMS ${windows_programs} DESTINATION share/tavrik)
  # The cross toolchain file, and a package file below Debian's MinGW-w64
  # root that forwards to this one: toolchain files that look for packages
  # only below that root (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY) find it
  # when Tavrik is installed in /usr.
  install(FILES "${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake" DESTINATION share/tavrik)
  foreach(name TavrikConfig TavrikConfigVersion)
    file(WRITE "${CMAKE_BINARY_DIR}/forward/${name}.cmake"
         "# Tavrik's package is installed four levels up: lib/cmake/Tavrik.\n"
         "include(\"\${CMAKE_CURRENT_LIST_DIR}/../../../../lib/cmake/Tavrik/${name}.cmake\")\n")
    install(FILES "${CMAKE_BINARY_DIR}/forward/${name}.cmake" DESTINATION x86_64-w64-mingw32/lib/cmake/Tavrik)
  endforeach()
endif()
install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION share/doc/tavrik)
install(FILES "${CMAKE_SOURCE_DIR}/include/tavrik/main.h" DESTINATION include/tavrik)

# The notices the binaries' third-party code asks for, made from the zstd
# source scripts/setup fetched and Debian's copyright file of the MinGW-w64
# runtime (none of it is committed).
set(zstd_license "${TAVRIK_THIRD_PARTY}/zstd/LICENSE")
set(mingw_copyright /usr/share/doc/mingw-w64-x86-64-dev/copyright)
foreach(source "${zstd_license}" "${mingw_copyright}")
  if(NOT EXISTS "${source}")
    message(FATAL_ERROR "${source} is missing: run scripts/setup")
  endif()
endforeach()
file(READ "${CMAKE_SOURCE_DIR}/cmake/third_party_notices.txt" notices)
file(READ "${zstd_license}" text)
string(APPEND notices "zstd (Zstandard)\n================\n\n${text}\n")
file(READ "${mingw_copyright}" text)
string(APPEND notices "MinGW-w64 runtime and winpthreads (Debian's copyright file)\n"
                      "============================================================\n\n${text}")
set(TAVRIK_NOTICES "${CMAKE_BINARY_DIR}/THIRD-PARTY-NOTICES.txt")
# Written only when changed (COPYONLY substitutes nothing in the texts).
function(_tavrik_write_if_changed path content)
  file(WRITE "${path}.new" "${content}")
  configure_file("${path}.new" "${path}" COPYONLY)
endfunction()
_tavrik_write_if_changed("${TAVRIK_NOTICES}" "${notices}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${CMAKE_SOURCE_DIR}/cmake/third_party_notices.txt" "${zstd_license}" "${mingw_copyright}")
install(FILES "${CMAKE_SOURCE_DIR}/LICENSE" "${TAVRIK_NOTICES}" DESTINATION share/doc/tavrik)
if(NOT WIN32)
  # Debian's place for the licences of what the package holds.
  file(READ "${CMAKE_SOURCE_DIR}/LICENSE" own_license)
  _tavrik_write_if_changed("${CMAKE_BINARY_DIR}/copyright" "Tavrik\n======\n\n${own_license}\n${notices}")
  install(FILES "${CMAKE_BINARY_DIR}/copyright" DESTINATION share/doc/tavrik)
endif()

configure_package_config_file(
  "${CMAKE_SOURCE_DIR}/cmake/TavrikConfig.cmake.in" "${CMAKE_BINARY_DIR}/TavrikConfig.cmake"
  INSTALL_DESTINATION ${TAVRIK_INSTALL_CMAKE_DIR}
  PATH_VARS TAVRIK_INSTALL_PACKER TAVRIK_INSTALL_STUB TAVRIK_INSTALL_RUNNER TAVRIK_INSTALL_INCLUDE)
# The package is a build tool: it fits a project whatever that project
# builds for.
write_basic_package_version_file("${CMAKE_BINARY_DIR}/TavrikConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${CMAKE_BINARY_DIR}/TavrikConfig.cmake" "${CMAKE_BINARY_DIR}/TavrikConfigVersion.cmake"
              "${CMAKE_SOURCE_DIR}/cmake/TavrikPack.cmake"
        DESTINATION ${TAVRIK_INSTALL_CMAKE_DIR})

set(CPACK_PACKAGE_NAME tavrik)
set(CPACK_PACKAGE_VENDOR "Tavrik project")
set(CPACK_PACKAGE_CONTACT "Tavrik project <tavrik@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a Windows application into one self-extracting executable")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README "${CMAKE_SOURCE_DIR}/README.md")
# No stripping: strip stamps the time into a PE header, and the stub must
# stay the bytes that were built, so that the Linux and the Windows packer
# still give the same executable.
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # What the packer links (libzstd and the C++ runtime); dpkg-shlibdeps would
  # need dpkg-dev on the build machine.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libzstd1")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
      "tavrik-pack puts a Windows application (a DLL exporting run_code and the files it needs) "
      "into a copy of the Tavrik launcher: one .exe that unpacks it into a temporary folder, runs "
      "it and deletes it again. With the launcher stub, tavrik-run.exe and the CMake package "
      "(find_package(Tavrik)).")
endif()
include(CPack)
