# What `cmake --install` lays out, and the packages CPack makes of it
# (scripts/package builds both):
#
#   Linux (host tree, a Debian package)     Windows (Windows tree, a ZIP)
#   bin/tavrik-pack                         bin/tavrik-pack.exe
#   share/tavrik/tavrik-launcher.exe        bin/tavrik-launcher.exe
#   share/tavrik/tavrik-run.exe             bin/tavrik-run.exe
#   lib/cmake/Tavrik/                       lib/cmake/Tavrik/
#   share/doc/tavrik/README.md              share/doc/tavrik/README.md
#
# tavrik-pack finds the stub in either place without --stub. The Linux
# package takes the stub and tavrik-run.exe from the Windows tree, which
# must be built first.
include(CMakePackageConfigHelpers)

set(TAVRIK_INSTALL_CMAKE_DIR lib/cmake/Tavrik)
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
endif()
install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION share/doc/tavrik)

configure_package_config_file(
  "${CMAKE_SOURCE_DIR}/cmake/TavrikConfig.cmake.in" "${CMAKE_BINARY_DIR}/TavrikConfig.cmake"
  INSTALL_DESTINATION ${TAVRIK_INSTALL_CMAKE_DIR}
  PATH_VARS TAVRIK_INSTALL_PACKER TAVRIK_INSTALL_STUB TAVRIK_INSTALL_RUNNER)
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
