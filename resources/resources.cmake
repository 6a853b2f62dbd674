# Windows resources of the launcher: the generated icon, the application
# manifest and version information, compiled from tavrik-launcher.rc with the
# RC compiler (windres).  The top-level enables the RC language.
#
#   include(${CMAKE_SOURCE_DIR}/resources/resources.cmake)
#   tavrik_add_launcher_resources(tavrik-launcher)

find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(TAVRIK_RESOURCES_DIR "${CMAKE_CURRENT_LIST_DIR}" CACHE INTERNAL
    "Directory of the launcher's resource sources")

function(tavrik_add_launcher_resources target)
  set(dir "${TAVRIK_RESOURCES_DIR}")
  set(icon "${CMAKE_CURRENT_BINARY_DIR}/tavrik-launcher.ico")
  set(rc "${dir}/tavrik-launcher.rc")
  set(manifest "${dir}/tavrik-launcher.manifest")

  add_custom_command(
    OUTPUT "${icon}"
    COMMAND Python3::Interpreter "${dir}/make_icon.py" "${icon}"
    DEPENDS "${dir}/make_icon.py"
    COMMENT "Drawing the launcher icon"
    VERBATIM)

  # Listing the icon as a source ties the custom command to the target; the
  # .rc is compiled by the RC compiler and linked into the executable.
  target_sources(${target} PRIVATE "${rc}" "${icon}")

  # windres finds the icon and the manifest through its include path, and
  # does not track the files an .rc pulls in, so name them as dependencies.
  set_source_files_properties("${rc}" TARGET_DIRECTORY ${target} PROPERTIES
    INCLUDE_DIRECTORIES "${CMAKE_CURRENT_BINARY_DIR};${dir}"
    OBJECT_DEPENDS "${icon};${manifest}")
  set_source_files_properties("${icon}" TARGET_DIRECTORY ${target} PROPERTIES
    GENERATED TRUE HEADER_FILE_ONLY TRUE)
endfunction()
