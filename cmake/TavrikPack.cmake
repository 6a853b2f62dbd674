# tavrik_pack(): pack a DLL target into one Windows executable with
# tavrik-pack, after the DLL is built.
#
#   find_package(Tavrik REQUIRED)          # or include(path/to/TavrikPack.cmake)
#   tavrik_pack(TARGET <dll target> OUTPUT <exe>
#               [FILES <file or target>...] [DIRECTORIES <dir>...]
#               [ADD <source> <archive path>...]
#               [EXCLUDE <pattern>...] [NO_DEFAULT_EXCLUDES]
#               [DLL_PATH <dir>...] [NO_RUNTIME_DLLS]
#               [ALLOW_MISSING <dll>...]
#               [LEVEL <1-22> | FAST] [WINDOW_LOG <10-27>]
#               [ICON <file.ico>] [VERSION_STRINGS <NAME=VALUE>...]
#               [FILE_VERSION <A.B.C.D>] [PRODUCT_VERSION <A.B.C.D>]
#               [CONSOLE] [EXECUTION_LEVEL <level>]
#               [CACHED] [CACHE_DIR <path spec>]
#               [STUB <tavrik-launcher.exe>] [PACKER <tavrik-pack>]
#               [NAME <custom target>])
#
# TARGET       a SHARED (or MODULE) library target of a 64-bit Windows build
#              exporting run_code; it becomes the archive's first file, under
#              its file name.
# OUTPUT       the executable to write; relative to the current binary dir.
# FILES        files packed under their file names: paths (relative to the
#              current source dir), names of targets (their TARGET_FILE, built
#              first; for an imported target its IMPORTED_LOCATION) or
#              generator expressions such as $<TARGET_FILE:helper>. An import
#              library (.dll.a, .lib) is refused when packing, naming its DLL.
# DLL_PATH     folders (relative to the current source dir) where tavrik-pack
#              looks for the DLLs the packed images import (--dll-path).
# NO_RUNTIME_DLLS
#              without it (and with CMake 3.21 or later), the DLLs in
#              $<TARGET_RUNTIME_DLLS:TARGET> (the shared libraries TARGET
#              links, built here or imported) are offered to tavrik-pack
#              first, so those it imports, and theirs, are packed without
#              naming them in FILES.
# DIRECTORIES  directories whose files are packed under their relative paths.
#              tavrik-pack writes a depfile naming every file and directory it
#              read, so a file added, removed or renamed below one of them
#              packs again at the next build, without re-running CMake.
# ADD          pairs: a file or directory (relative to the current source
#              dir), then where it goes in the archive (tavrik-pack's
#              --add SRC DEST); a directory's files go below that path.
# EXCLUDE, NO_DEFAULT_EXCLUDES
#              tavrik-pack's --exclude (one per pattern) and
#              --no-default-excludes.
# ALLOW_MISSING
#              imported DLLs deliberately not packed (--allow-missing).
# LEVEL, FAST  zstd level (default 19); FAST is level 3, for development.
# WINDOW_LOG   the decoding window, 2^N bytes (tavrik-pack's --window-log;
#              default: the packer's).
# ICON, VERSION_STRINGS, FILE_VERSION, PRODUCT_VERSION, CONSOLE,
# EXECUTION_LEVEL
#              the program's identity: tavrik-pack's --icon, --version-string
#              (one per NAME=VALUE), --file-version, --product-version,
#              --console and --execution-level. ICON is relative to the
#              current source dir.
# CACHED, CACHE_DIR
#              cached mode: unpack once, later starts run from the unpacked
#              files (tavrik-pack's --cache, and --cache-dir SPEC, which
#              implies CACHED); the spec's placeholders such as {CACHE_DIR}
#              are written as they are, for the launcher to expand.
# STUB         the launcher stub; default: the tavrik-launcher target when
#              this project defines it, otherwise the variable
#              TAVRIK_LAUNCHER_STUB, otherwise the stub of the package found
#              by find_package(Tavrik), otherwise tavrik-pack's own default
#              (beside it, then ../windows, then ../share/tavrik).
# PACKER       the tavrik-pack to run; default: the cache variable
#              TAVRIK_HOST_PACK (a packer for the build machine), otherwise
#              the packer of the package found by find_package(Tavrik),
#              otherwise the tavrik-pack target when not cross-compiling.
# NAME         the custom target that builds OUTPUT (default <TARGET>_packed);
#              it is part of ALL.
#
# What cannot be packed stops the configuration with a message naming it: no
# packer, a packer that does not run here, a TARGET that is no Windows DLL,
# a missing ICON, STUB, file or directory (a misspelt keyword after FILES,
# DIRECTORIES or VERSION_STRINGS is taken for one of those, and the message
# suggests the keyword).

if(CMAKE_VERSION VERSION_LESS 3.20)
  message(FATAL_ERROR "tavrik_pack() needs CMake 3.20 or later (for DEPFILE with Makefile generators)")
endif()
# With Ninja, the depfile goes to Ninja as the packer wrote it (see
# tavrik_pack): CMake's rewriting of it (CMP0116 NEW) drops the escapes of
# "$" and "#", so such a path would be split and every build pack again.
if(POLICY CMP0116)
  cmake_policy(SET CMP0116 OLD)
endif()

set(TAVRIK_HOST_PACK "" CACHE FILEPATH "tavrik-pack for the build machine, used by tavrik_pack()")

# tavrik_pack()'s keywords: flags, one value, lists.
macro(_tavrik_pack_keywords)
  set(_tavrik_pack_flags FAST CONSOLE NO_DEFAULT_EXCLUDES NO_RUNTIME_DLLS CACHED)
  set(_tavrik_pack_values TARGET OUTPUT LEVEL WINDOW_LOG STUB PACKER NAME ICON FILE_VERSION PRODUCT_VERSION
                          EXECUTION_LEVEL CACHE_DIR)
  set(_tavrik_pack_lists FILES DIRECTORIES VERSION_STRINGS ADD EXCLUDE ALLOW_MISSING DLL_PATH)
endmacro()

# Levenshtein distance between two words, for suggesting a keyword.
function(_tavrik_edit_distance a b out)
  string(LENGTH "${a}" la)
  string(LENGTH "${b}" lb)
  set(previous "")
  foreach(j RANGE 0 ${lb})
    list(APPEND previous ${j})
  endforeach()
  if(la GREATER 0 AND lb GREATER 0)
    foreach(i RANGE 1 ${la})
      math(EXPR i0 "${i} - 1")
      string(SUBSTRING "${a}" ${i0} 1 ca)
      set(current ${i})
      foreach(j RANGE 1 ${lb})
        math(EXPR j0 "${j} - 1")
        string(SUBSTRING "${b}" ${j0} 1 cb)
        list(GET previous ${j0} diagonal)
        list(GET previous ${j} above)
        list(GET current ${j0} left)
        if(ca STREQUAL cb)
          set(best ${diagonal})
        else()
          math(EXPR best "${diagonal} + 1")
        endif()
        math(EXPR other "${above} + 1")
        if(other LESS best)
          set(best ${other})
        endif()
        math(EXPR other "${left} + 1")
        if(other LESS best)
          set(best ${other})
        endif()
        list(APPEND current ${best})
      endforeach()
      set(previous ${current})
    endforeach()
  elseif(lb EQUAL 0)
    set(previous ${la})
  endif()
  list(GET previous ${lb} distance)
  set(${out} ${distance} PARENT_SCOPE)
endfunction()

# "; did you mean the keyword K?" when `word` is close to a keyword of
# tavrik_pack(), else nothing.
function(_tavrik_keyword_hint word out)
  string(TOUPPER "${word}" upper)
  string(LENGTH "${upper}" length)
  _tavrik_pack_keywords()
  set(hint "")
  set(closest 3)
  if(length GREATER 2 AND upper MATCHES "^[A-Z_]+$")
    foreach(keyword IN LISTS _tavrik_pack_flags _tavrik_pack_values _tavrik_pack_lists)
      _tavrik_edit_distance("${upper}" "${keyword}" distance)
      if(distance LESS closest)
        set(closest ${distance})
        set(hint "; did you mean the keyword ${keyword}?")
      endif()
    endforeach()
  endif()
  set(${out} "${hint}" PARENT_SCOPE)
endfunction()

# Fails unless `packer` runs on this machine and knows --depfile and
# --dll-path; asked once per path.
function(_tavrik_check_packer packer role)
  get_property(checked GLOBAL PROPERTY "_tavrik_packer_ok:${packer}")
  if(checked)
    return()
  endif()
  if(NOT EXISTS "${packer}" OR IS_DIRECTORY "${packer}")
    message(FATAL_ERROR "tavrik_pack: the packer \"${packer}\" (${role}) does not exist")
  endif()
  execute_process(COMMAND "${packer}" pack --help
                  RESULT_VARIABLE status OUTPUT_VARIABLE help ERROR_VARIABLE problem)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "tavrik_pack: the packer \"${packer}\" (${role}) does not run on this machine: "
                        "${status} ${problem}")
  endif()
  if(NOT help MATCHES "--depfile")
    message(FATAL_ERROR "tavrik_pack: the packer \"${packer}\" (${role}) is too old: it cannot write a "
                        "depfile (--depfile)")
  endif()
  if(NOT help MATCHES "--dll-path")
    message(FATAL_ERROR "tavrik_pack: the packer \"${packer}\" (${role}) is too old: it cannot collect the "
                        "DLLs the application imports (--dll-path)")
  endif()
  set_property(GLOBAL PROPERTY "_tavrik_packer_ok:${packer}" TRUE)
endfunction()

# Set by TavrikConfig.cmake: the installed packer and stub.
function(_tavrik_use_package packer stub)
  set_property(GLOBAL PROPERTY TAVRIK_PACKAGE_PACKER "${packer}")
  set_property(GLOBAL PROPERTY TAVRIK_PACKAGE_STUB "${stub}")
endfunction()

function(tavrik_pack)
  _tavrik_pack_keywords()
  cmake_parse_arguments(PARSE_ARGV 0 TP "${_tavrik_pack_flags}" "${_tavrik_pack_values}" "${_tavrik_pack_lists}")
  if(TP_UNPARSED_ARGUMENTS)
    list(GET TP_UNPARSED_ARGUMENTS 0 first)
    _tavrik_keyword_hint("${first}" hint)
    message(FATAL_ERROR "tavrik_pack: unknown arguments: ${TP_UNPARSED_ARGUMENTS}${hint}")
  endif()
  if(NOT TP_TARGET OR NOT TP_OUTPUT)
    message(FATAL_ERROR "tavrik_pack: TARGET and OUTPUT are required")
  endif()
  if(NOT TARGET ${TP_TARGET})
    message(FATAL_ERROR "tavrik_pack: ${TP_TARGET} is not a target")
  endif()
  get_target_property(type ${TP_TARGET} TYPE)
  if(NOT type MATCHES "^(SHARED|MODULE)_LIBRARY$")
    message(FATAL_ERROR "tavrik_pack: TARGET ${TP_TARGET} is a ${type}; the application must be a DLL "
                        "(add_library(${TP_TARGET} SHARED ...))")
  endif()
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows" OR (CMAKE_SIZEOF_VOID_P AND NOT CMAKE_SIZEOF_VOID_P EQUAL 8))
    message(FATAL_ERROR "tavrik_pack: ${TP_TARGET} is built for ${CMAKE_SYSTEM_NAME}, not as a 64-bit Windows "
                        "DLL; configure with a MinGW-w64 (x86_64) toolchain file or a 64-bit Windows compiler")
  endif()
  if(TP_FAST AND DEFINED TP_LEVEL)
    message(FATAL_ERROR "tavrik_pack: give LEVEL or FAST, not both")
  endif()
  if(NOT TP_NAME)
    set(TP_NAME ${TP_TARGET}_packed)
  endif()

  # The packer: explicit, the build machine's, the installed package's, or
  # this build's own.
  get_property(package_packer GLOBAL PROPERTY TAVRIK_PACKAGE_PACKER)
  set(packer_depends "")
  if(TP_PACKER)
    set(packer "${TP_PACKER}")
    _tavrik_check_packer("${packer}" "PACKER")
  elseif(TAVRIK_HOST_PACK)
    set(packer "${TAVRIK_HOST_PACK}")
    _tavrik_check_packer("${packer}" "TAVRIK_HOST_PACK")
  elseif(package_packer)
    set(packer "${package_packer}")
    _tavrik_check_packer("${packer}" "from find_package(Tavrik)")
  elseif(NOT CMAKE_CROSSCOMPILING AND TARGET tavrik-pack)
    set(packer "$<TARGET_FILE:tavrik-pack>")
    set(packer_depends tavrik-pack)
  else()
    message(FATAL_ERROR "tavrik_pack: no tavrik-pack to make ${TP_OUTPUT} with: call find_package(Tavrik) "
                        "first, set TAVRIK_HOST_PACK to a tavrik-pack for this machine, or pass PACKER")
  endif()
  if(NOT packer_depends)
    set(packer_depends "${packer}")
  endif()

  set(level_args "")
  if(TP_FAST)
    set(level_args --fast)
  elseif(DEFINED TP_LEVEL)
    if(NOT TP_LEVEL MATCHES "^[0-9]+$" OR TP_LEVEL LESS 1 OR TP_LEVEL GREATER 22)
      message(FATAL_ERROR "tavrik_pack: LEVEL needs a number from 1 to 22, not \"${TP_LEVEL}\"")
    endif()
    set(level_args --level ${TP_LEVEL})
  endif()
  if(DEFINED TP_WINDOW_LOG)
    if(NOT TP_WINDOW_LOG MATCHES "^[0-9]+$" OR TP_WINDOW_LOG LESS 10 OR TP_WINDOW_LOG GREATER 27)
      message(FATAL_ERROR "tavrik_pack: WINDOW_LOG needs a number from 10 to 27, not \"${TP_WINDOW_LOG}\"")
    endif()
    list(APPEND level_args --window-log ${TP_WINDOW_LOG})
  endif()

  get_property(package_stub GLOBAL PROPERTY TAVRIK_PACKAGE_STUB)
  set(stub_args "")
  set(stub_depends "")
  if(TP_STUB)
    get_filename_component(stub "${TP_STUB}" ABSOLUTE)
    if(NOT EXISTS "${stub}")
      message(FATAL_ERROR "tavrik_pack: STUB \"${TP_STUB}\" does not exist (${stub})")
    endif()
    set(stub_args --stub "${stub}")
    set(stub_depends "${stub}")
  elseif(TARGET tavrik-launcher)
    set(stub_args --stub "$<TARGET_FILE:tavrik-launcher>")
    set(stub_depends tavrik-launcher)
  elseif(TAVRIK_LAUNCHER_STUB)
    set(stub_args --stub "${TAVRIK_LAUNCHER_STUB}")
    set(stub_depends "${TAVRIK_LAUNCHER_STUB}")
  elseif(package_stub)
    set(stub_args --stub "${package_stub}")
    set(stub_depends "${package_stub}")
  elseif(NOT packer MATCHES "^\\$<")
    # The packer's own default places; the depfile then names the one used.
    get_filename_component(packer_dir "${packer}" DIRECTORY)
    set(found_stub "")
    foreach(candidate "${packer_dir}" "${packer_dir}/../windows" "${packer_dir}/../share/tavrik")
      if(EXISTS "${candidate}/tavrik-launcher.exe")
        set(found_stub TRUE)
      endif()
    endforeach()
    if(NOT found_stub)
      message(FATAL_ERROR "tavrik_pack: no launcher stub for ${TP_OUTPUT}: none beside \"${packer}\", in "
                          "../windows or ../share/tavrik; pass STUB or set TAVRIK_LAUNCHER_STUB")
    endif()
  endif()

  set(identity_args "")
  set(identity_depends "")
  if(TP_ICON)
    get_filename_component(icon "${TP_ICON}" ABSOLUTE)
    if(NOT EXISTS "${icon}" OR IS_DIRECTORY "${icon}")
      message(FATAL_ERROR "tavrik_pack: ICON \"${TP_ICON}\" does not exist (${icon})")
    endif()
    list(APPEND identity_args --icon "${icon}")
    list(APPEND identity_depends "${icon}")
  endif()
  foreach(pair IN LISTS TP_VERSION_STRINGS)
    if(NOT pair MATCHES "^[^=]+=")
      _tavrik_keyword_hint("${pair}" hint)
      message(FATAL_ERROR "tavrik_pack: VERSION_STRINGS entry \"${pair}\" is not NAME=VALUE${hint}")
    endif()
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
  if(DEFINED TP_CACHE_DIR)
    list(APPEND identity_args --cache-dir "${TP_CACHE_DIR}")
  elseif(TP_CACHED)
    list(APPEND identity_args --cache)
  endif()

  get_filename_component(output "${TP_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(inputs "")
  set(input_depends "")
  foreach(file IN LISTS TP_FILES)
    if(TARGET "${file}")
      # A target: its file, built first.
      list(APPEND inputs "$<TARGET_FILE:${file}>")
      list(APPEND input_depends "${file}")
    elseif(file MATCHES "::")
      # Imported targets are seen only in the directory that made them (and
      # below), unless made GLOBAL.
      message(FATAL_ERROR "tavrik_pack: FILES entry \"${file}\" is not a target here: an imported target is seen "
                          "only in the directory whose find_package() or add_library() made it, and below; call "
                          "find_package() in this directory (or above), or make the target GLOBAL")
    elseif(file MATCHES "^\\$<")
      # Generator expressions are paths only at build time; a target they
      # name is built first.
      list(APPEND inputs "${file}")
      list(APPEND input_depends "${file}")
    else()
      get_filename_component(path "${file}" ABSOLUTE)
      get_source_file_property(generated "${path}" GENERATED)
      if(IS_DIRECTORY "${path}")
        message(FATAL_ERROR "tavrik_pack: FILES entry \"${file}\" is a directory; give it under DIRECTORIES")
      elseif(NOT EXISTS "${path}" AND NOT generated)
        _tavrik_keyword_hint("${file}" hint)
        message(FATAL_ERROR "tavrik_pack: FILES entry \"${file}\" is not a file, a target or a generated "
                            "file (${path})${hint}")
      endif()
      list(APPEND inputs "${path}")
      list(APPEND input_depends "${path}")
    endif()
  endforeach()
  set(directories "")
  foreach(dir IN LISTS TP_DIRECTORIES)
    get_filename_component(path "${dir}" ABSOLUTE)
    if(NOT IS_DIRECTORY "${path}")
      _tavrik_keyword_hint("${dir}" hint)
      message(FATAL_ERROR "tavrik_pack: DIRECTORIES entry \"${dir}\" is not a directory (${path})${hint}")
    endif()
    list(APPEND inputs "${path}")
    list(APPEND directories "${path}")
  endforeach()
  list(LENGTH TP_ADD add_length)
  math(EXPR add_odd "${add_length} % 2")
  if(add_odd)
    message(FATAL_ERROR "tavrik_pack: ADD takes pairs: a source, then its path in the archive")
  endif()
  set(add_args "")
  while(TP_ADD)
    list(POP_FRONT TP_ADD source destination)
    get_filename_component(path "${source}" ABSOLUTE)
    if(IS_DIRECTORY "${path}")
      list(APPEND directories "${path}")
    elseif(EXISTS "${path}")
      list(APPEND input_depends "${path}")
    else()
      message(FATAL_ERROR "tavrik_pack: ADD source \"${source}\" is neither a file nor a directory (${path})")
    endif()
    list(APPEND add_args --add "${path}" "${destination}")
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
  foreach(dir IN LISTS TP_DLL_PATH)
    get_filename_component(path "${dir}" ABSOLUTE)
    if(NOT EXISTS "${path}")
      _tavrik_keyword_hint("${dir}" hint)
      message(FATAL_ERROR "tavrik_pack: DLL_PATH entry \"${dir}\" does not exist (${path})${hint}")
    endif()
    list(APPEND select_args --dll-path "${path}")
  endforeach()
  # The DLLs the target links, each offered by itself: tavrik-pack packs
  # those the images import. The depfile then names the ones it read.
  set(runtime_dll_args "")
  if(NOT TP_NO_RUNTIME_DLLS AND NOT CMAKE_VERSION VERSION_LESS 3.21)
    set(runtime_dlls "$<TARGET_RUNTIME_DLLS:${TP_TARGET}>")
    # One argument until generation; COMMAND_EXPAND_LISTS splits it then.
    set(runtime_dll_args
        "$<$<BOOL:${runtime_dlls}>:--dll-path$<SEMICOLON>$<JOIN:${runtime_dlls},$<SEMICOLON>--dll-path$<SEMICOLON>>>")
  endif()

  # The packer's depfile names every file and directory it read; a
  # directory's time changes when a file below it is added, removed or
  # renamed. CMake 3.20 reads depfiles with Makefile and Ninja generators
  # only; elsewhere the files found at configure time are the dependencies
  # (re-run CMake after adding one).
  set(depfile "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${TP_NAME}.d")
  set(depfile_args --depfile "${depfile}")
  set(depfile_option DEPFILE "${depfile}")
  set(forget_old_depends "")
  if(CMAKE_GENERATOR MATCHES "Makefiles")
    # The Makefile generators add a new depfile's dependencies to the ones
    # they recorded before, rather than replace them (CMake 3.25 at least):
    # a file deleted from a packed folder would stay a dependency, missing,
    # and pack again at every build. Without its record CMake reads the new
    # depfile alone.
    set(forget_old_depends COMMAND "${CMAKE_COMMAND}" -E rm -f
        "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${TP_NAME}.dir/compiler_depend.internal")
  endif()
  if(CMAKE_VERSION VERSION_LESS 3.21 AND NOT CMAKE_GENERATOR MATCHES "Ninja|Makefiles")
    set(depfile_args "")
    set(depfile_option "")
    set(forget_old_depends "")
    foreach(dir IN LISTS directories)
      file(GLOB_RECURSE dir_files LIST_DIRECTORIES true CONFIGURE_DEPENDS "${dir}/*")
      list(APPEND input_depends "${dir}" ${dir_files})
    endforeach()
  endif()

  # Ninja reads the depfile itself and expects it to name the command's
  # first output as its build file does: relative to the top of the build
  # tree when inside it. The packer then runs from there and is given that
  # path, so its depfile names the output exactly so.
  set(output_arg "${output}")
  set(working_directory "${CMAKE_CURRENT_BINARY_DIR}")
  if(CMAKE_GENERATOR MATCHES "Ninja" AND depfile_args)
    file(RELATIVE_PATH output_in_tree "${CMAKE_BINARY_DIR}" "${output}")
    if(NOT IS_ABSOLUTE "${output_in_tree}" AND NOT output_in_tree MATCHES "^\\.\\./")
      set(output_arg "${output_in_tree}")
    endif()
    set(working_directory "${CMAKE_BINARY_DIR}")
  endif()

  # The target depends on a stamp, not on OUTPUT itself: CMake would take
  # a dependency named like "<target>.exe" for the target of that name.
  # OUTPUT comes first: Ninja expects the depfile to name the first output.
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${TP_NAME}.stamp")
  add_custom_command(
    OUTPUT "${output}" "${stamp}"
    COMMAND "${packer}" pack -o "${output_arg}" ${depfile_args} ${level_args} ${stub_args} ${identity_args}
            ${select_args} ${runtime_dll_args} "$<TARGET_FILE:${TP_TARGET}>" ${inputs} ${add_args}
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    ${forget_old_depends}
    DEPENDS ${TP_TARGET} ${packer_depends} ${stub_depends} ${identity_depends} ${input_depends}
    ${depfile_option}
    WORKING_DIRECTORY "${working_directory}"
    COMMENT "Packing ${TP_OUTPUT}"
    VERBATIM COMMAND_EXPAND_LISTS)
  add_custom_target(${TP_NAME} ALL DEPENDS "${stamp}")
endfunction()
