# The packer's table of DLLs that Windows itself provides, generated from the
# Windows modules Debian's Wine ships (libwine, installed with wine by
# scripts/setup); see cmake/system_dlls.py for what is left out.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(TAVRIK_WINE_DLL_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
    "Wine's 64-bit Windows modules, the source of the packer's list of system DLLs")
set(TAVRIK_SYSTEM_DLLS_GENERATOR "${CMAKE_CURRENT_LIST_DIR}/system_dlls.py")

# Sets `out_var` to the generated source, made in the current binary directory.
function(tavrik_system_dll_table out_var)
  if(NOT EXISTS "${TAVRIK_WINE_DLL_DIR}/kernel32.dll")
    message(FATAL_ERROR "${TAVRIK_WINE_DLL_DIR} holds no Windows modules: install wine (scripts/setup)")
  endif()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/system_dlls.cpp")
  add_custom_command(OUTPUT "${out}"
    COMMAND "${Python3_EXECUTABLE}" "${TAVRIK_SYSTEM_DLLS_GENERATOR}" "${TAVRIK_WINE_DLL_DIR}" "${out}"
    DEPENDS "${TAVRIK_SYSTEM_DLLS_GENERATOR}" "${TAVRIK_WINE_DLL_DIR}"
    COMMENT "Generating the list of system DLLs from ${TAVRIK_WINE_DLL_DIR}")
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()
