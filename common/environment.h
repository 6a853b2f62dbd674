#pragma once
// Process environment access by narrow ASCII variable name.

#include <windows.h>

// Heap copy (_wcsdup) of the variable's value, owned by the caller; nullptr
// when the variable is unset or empty, or longer than Windows allows.
wchar_t *get_env(const char *name);
// Sets the variable; a null `value` removes it. Callers ignore the result.
BOOL set_env(const char *name, const wchar_t *value);
