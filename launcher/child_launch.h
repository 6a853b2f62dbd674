#pragma once
// Top-level instance: start this executable again as the child that runs
// the application, wait for it, clean up and pass its exit code on.

#include <windows.h>
#include <stddef.h>
#include <wchar.h>

#include "common/wide_buffer.h"

// The child's command line; CreateProcessW may write into it.
extern WideBuffer<32768> child_command_line;

// Appends `argument` to `command_line` so that the standard Windows splitting
// gives it back unchanged (an empty argument gives ""). Aborts when the
// buffer would overflow; never truncates.
void append_quoted_argument(wchar_t *command_line, size_t capacity, const wchar_t *argument);
inline void append_quoted_argument(const wchar_t *argument) {
    append_quoted_argument(child_command_line.text, child_command_line.capacity, argument);
}

// Builds the child's command line from `arguments`, element 0 replaced by
// `program`, one space between arguments.
void build_child_command_line(int count, wchar_t **arguments, const wchar_t *program);

// Splits a command line the standard Windows way (CommandLineToArgvW's
// contract); tests replace it to make it fail.
using CommandLineSplitter = wchar_t **(WINAPI *)(const wchar_t *command_line, int *count);
extern CommandLineSplitter split_command_line;

unsigned long launch_child();
