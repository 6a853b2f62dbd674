# The packer's upper-case table, generated from Unicode's UnicodeData.txt as
# Debian's unicode-data package installs it (scripts/setup installs it).
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(TAVRIK_UNICODE_DATA /usr/share/unicode/UnicodeData.txt CACHE FILEPATH
    "UnicodeData.txt the packer's upper-case table is generated from")
set(TAVRIK_UPCASE_GENERATOR "${CMAKE_CURRENT_LIST_DIR}/upcase_table.py")

# Sets `out_var` to the generated source, made in the current binary directory.
function(tavrik_upcase_table out_var)
  if(NOT EXISTS "${TAVRIK_UNICODE_DATA}")
    message(FATAL_ERROR "${TAVRIK_UNICODE_DATA} is missing: install unicode-data (scripts/setup)")
  endif()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/upcase_table.cpp")
  add_custom_command(OUTPUT "${out}"
    COMMAND "${Python3_EXECUTABLE}" "${TAVRIK_UPCASE_GENERATOR}" "${TAVRIK_UNICODE_DATA}" "${out}"
    DEPENDS "${TAVRIK_UPCASE_GENERATOR}" "${TAVRIK_UNICODE_DATA}"
    COMMENT "Generating the upper-case table from ${TAVRIK_UNICODE_DATA}")
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()
