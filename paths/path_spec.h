#pragma once
// Path specs: UTF-16 path templates with {PLACEHOLDER}s resolved at run time.
// The values that a top-level instance and its nested instance must agree on
// ({PID}, {RANDOM}, {TIME_US}, {TIME}) are read from the environment when set
// and otherwise computed and, except for {PID}, published there.

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// Expands `spec` into `output` (capacity in units, terminator included).
// False when a literal does not fit, a placeholder is unknown or empty, a
// folder query fails or a nested {PROGRAM} expansion fails; the output then
// holds what was expanded so far. A value that does not fit aborts.
bool expand_path_spec(wchar_t *output, const wchar_t *spec, size_t capacity);

// Writes "Error, couldn't runtime expand spec '<spec>'." to standard error
// and ends the process with abort().
[[noreturn]] void report_spec_failure(const wchar_t *spec);

// The 11-character base64url random name for a seed (0 is replaced by 1).
void random_name_from_seed(uint32_t seed, wchar_t (&name)[12]);
// {TIME_US} and {TIME} texts for a clock reading in 100 ns units since 1601.
void format_time_us(uint64_t file_time, char (&text)[128]);
void format_time(uint64_t file_time, char (&text)[128]);
