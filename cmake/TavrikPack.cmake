# tavrik_pack(): pack a DLL target into one Windows executable with
# tavrik-pack, after the DLL is built.
#
#   include(path/to/TavrikPack.cmake)
#   tavrik_pack(TARGET <dll target> OUTPUT <exe>
#               [FILES <file>...] [DIRECTORIES <dir>...]
#               [ADD <source> <archive path>...]
#               [EXCLUDE <pattern>...] [NO_DEFAULT_EXCLUDES]
#               [ALLOW_MISSING <dll>...]
#               [LEVEL <1-22> | FAST]
#               [ICON <file.ico>] [VERSION_STRINGS <NAME=VALUE>...]
#               [FILE_VERSION <A.B.C.D>] [PRODUCT_VERSION <A.B.C.D>]
#               [CONSOLE] [EXECUTION_LEVEL <level>]
#               [STUB <tavrik-launcher.exe>] [PACKER <tavrik-pack>]
#               [NAME <custom target>])
#
# TARGET       a SHARED library target exporting run_code; it becomes the
#              archive's first file, under its file name.
# OUTPUT       the executable to write; relative to the current binary dir.
# FILES        files packed under their file names.
# DIRECTORIES  directories whose files are packed under their relative paths
#              (globbed at configure time for dependencies: re-run CMake
#              after adding files).
# ADD          pairs: a file or directory, then where it goes in the archive
#              (tavrik-pack's --add SRC DEST); a directory's files go below
#              that path (globbed at configure time like DIRECTORIES).
# EXCLUDE, NO_DEFAULT_EXCLUDES
#              tavrik-pack's --exclude (one per pattern) and
#              --no-default-excludes.
# ALLOW_MISSING
#              imported DLLs packed on purpose without (--allow-missing).
# LEVEL, FAST  zstd level (default 19); FAST is level 3, for development.
# ICON, VERSION_STRINGS, FILE_VERSION, PRODUCT_VERSION, CONSOLE,
# EXECUTION_LEVEL
#              the program's identity: tavrik-pack's --icon, --version-string
#              (one per NAME=VALUE), --file-version, --product-version,
#              --console and --execution-level. ICON is relative to the
#              current source dir.
# STUB         the launcher stub; default: the tavrik-launcher target when
#              this project defines it, otherwise the variable
#              TAVRIK_LAUNCHER_STUB, otherwise tavrik-pack's own default
#              (beside it, then ../windows).
# PACKER       the tavrik-pack to run; default: the cache variable
#              TAVRIK_HOST_PACK (a packer for the build machine, needed when
#              cross-compiling), else the tavrik-pack target when not
#              cross-compiling. Without one, the step is skipped with a
#              message.
# NAME         the custom target that builds OUTPUT (default <TARGET>_packed);
#              it is part of ALL.

set(TAVRIK_HOST_PACK "" CACHE FILEPATH "tavrik-pack for the build machine, used by tavrik_pack()")

function(tavrik_pack)
  cmake_parse_arguments(PARSE_ARGV 0 TP "FAST;CONSOLE;NO_DEFAULT_EXCLUDES"
                        "TARGET;OUTPUT;LEVEL;STUB;PACKER;NAME;ICON;FILE_VERSION;PRODUCT_VERSION;EXECUTION_LEVEL"
                        "FILES;DIRECTORIES;VERSION_STRINGS;ADD;EXCLUDE;ALLOW_MISSING")
  if(TP_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tavrik_pack: unknown arguments: ${TP_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TP_TARGET OR NOT TP_OUTPUT)
    message(FATAL_ERROR "tavrik_pack: TARGET and OUTPUT are required")
  endif()
  if(NOT TARGET ${TP_TARGET})
    message(FATAL_ERROR "tavrik_pack: ${TP_TARGET} is not a target")
  endif()
  if(TP_FAST AND DEFINED TP_LEVEL)
    message(FATAL_ERROR "tavrik_pack: give LEVEL or FAST, not both")
  endif()
  if(NOT TP_NAME)
    set(TP_NAME ${TP_TARGET}_packed)
  endif()

  # The packer: explicit, the build machine's, or this build's own.
  set(packer "${TP_PACKER}")
  set(packer_depends "")
  if(NOT packer AND TAVRIK_HOST_PACK)
    set(packer "${TAVRIK_HOST_PACK}")
  endif()
  if(packer)
    if(NOT EXISTS "${packer}")
      message(STATUS "tavrik_pack: ${packer} does not exist; ${TP_OUTPUT} will not be packed")
      return()
    endif()
    set(packer_depends "${packer}")
  elseif(NOT CMAKE_CROSSCOMPILING AND TARGET tavrik-pack)
    set(packer "$<TARGET_FILE:tavrik-pack>")
    set(packer_depends tavrik-pack)
  else()
    message(STATUS "tavrik_pack: no tavrik-pack for this machine (set TAVRIK_HOST_PACK); "
                   "${TP_OUTPUT} will not be packed")
    return()
  endif()

  set(level_args "")
  if(TP_FAST)
    set(level_args --fast)
  elseif(DEFINED TP_LEVEL)
    set(level_args --level ${TP_LEVEL})
  endif()

  set(stub_args "")
  set(stub_depends "")
  if(TP_STUB)
    get_filename_component(stub "${TP_STUB}" ABSOLUTE)
    set(stub_args --stub "${stub}")
    set(stub_depends "${stub}")
  elseif(TARGET tavrik-launcher)
    set(stub_args --stub "$<TARGET_FILE:tavrik-launcher>")
    set(stub_depends tavrik-launcher)
  elseif(TAVRIK_LAUNCHER_STUB)
    set(stub_args --stub "${TAVRIK_LAUNCHER_STUB}")
    set(stub_depends "${TAVRIK_LAUNCHER_STUB}")
  endif()

  set(identity_args "")
  set(identity_depends "")
  if(TP_ICON)
    get_filename_component(icon "${TP_ICON}" ABSOLUTE)
    list(APPEND identity_args --icon "${icon}")
    list(APPEND identity_depends "${icon}")
  endif()
  foreach(pair IN LISTS TP_VERSION_STRINGS)
    list(APPEND identity_args --version-string "${pair}")
  endforeach()
  foreach(option FILE_VERSION PRODUCT_VERSION EXECUTION_LEVEL)
    if(DEFINED TP_${option})
      string(TOLOWER "${option}" flag)
      string(REPLACE "_" "-" flag "${flag}")
      list(APPEND identity_args --${flag} "${TP_${option}}")
    endif()
  endforeach()
  if(TP_CONSOLE)
    list(APPEND identity_args --console)
  endif()

  get_filename_component(output "${TP_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(inputs "")
  set(input_depends "")
  foreach(file IN LISTS TP_FILES)
    get_filename_component(file "${file}" ABSOLUTE)
    list(APPEND inputs "${file}")
    list(APPEND input_depends "${file}")
  endforeach()
  foreach(dir IN LISTS TP_DIRECTORIES)
    get_filename_component(dir "${dir}" ABSOLUTE)
    list(APPEND inputs "${dir}")
    file(GLOB_RECURSE dir_files CONFIGURE_DEPENDS "${dir}/*")
    list(APPEND input_depends ${dir_files})
  endforeach()

  list(LENGTH TP_ADD add_length)
  math(EXPR add_odd "${add_length} % 2")
  if(add_odd)
    message(FATAL_ERROR "tavrik_pack: ADD takes pairs: a source, then its path in the archive")
  endif()
  set(add_args "")
  while(TP_ADD)
    list(POP_FRONT TP_ADD source destination)
    get_filename_component(source "${source}" ABSOLUTE)
    list(APPEND add_args --add "${source}" "${destination}")
    if(IS_DIRECTORY "${source}")
      file(GLOB_RECURSE add_files CONFIGURE_DEPENDS "${source}/*")
      list(APPEND input_depends ${add_files})
    else()
      list(APPEND input_depends "${source}")
    endif()
  endwhile()
  set(select_args "")
  foreach(pattern IN LISTS TP_EXCLUDE)
    list(APPEND select_args --exclude "${pattern}")
  endforeach()
  if(TP_NO_DEFAULT_EXCLUDES)
    list(APPEND select_args --no-default-excludes)
  endif()
  foreach(dll IN LISTS TP_ALLOW_MISSING)
    list(APPEND select_args --allow-missing "${dll}")
  endforeach()

  # The target depends on a stamp, not on OUTPUT itself: CMake would take
  # a dependency named like "<target>.exe" for the target of that name.
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${TP_NAME}.stamp")
  add_custom_command(
    OUTPUT "${stamp}"
    BYPRODUCTS "${output}"
    COMMAND "${packer}" pack -o "${output}" ${level_args} ${stub_args} ${identity_args}
            ${select_args} "$<TARGET_FILE:${TP_TARGET}>" ${inputs} ${add_args}
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${TP_TARGET} ${packer_depends} ${stub_depends} ${identity_depends} ${input_depends}
    COMMENT "Packing ${TP_OUTPUT}"
    VERBATIM)
  add_custom_target(${TP_NAME} ALL DEPENDS "${stamp}")
endfunction()
