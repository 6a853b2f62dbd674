#pragma once
// Every line the launcher can print, in one place. Plain messages go to
// standard output through puts (which adds the line end); the two formatted
// ones carry their own "\n" and go to standard error; error-code messages are
// completed by report_error_code.

// Plain messages.
inline constexpr const char message_signal_handler[] = "Error, failed to register signal handler.";
inline constexpr const char message_no_header[] = "Error, couldn't find attached data header.";
inline constexpr const char message_no_memory[] = "Error, couldn't allocate memory.";
inline constexpr const char message_decode_failed[] = "Error, couldn't decode attached data.";
inline constexpr const char message_no_entry_point[] = "Error, DLL entry point not found.";
inline constexpr const char message_parent_unrecognised[] = "Error, couldn't recognise parent launcher.";
// A nested instance about to start a child of its own (an archive without
// the application library): it would start a chain of children without end.
// The archive's contents are the fault, hence the text.
inline constexpr const char message_nested_launch[] = "Error, couldn't decode attached data.";

// Formatted messages, one %ls argument each.
inline constexpr const char message_spec_expansion[] = "Error, couldn't runtime expand spec '%ls'.\n";
inline constexpr const char message_open_for_writing[] = "Error, failed to open '%ls' for writing.\n";

// Error-code messages.
inline constexpr const char message_unpack_failed[] = "Error, couldn't unpack file to target path.";
inline constexpr const char message_load_dll[] = "Error, load DLL.";
inline constexpr const char message_launch_failed[] = "Error, couldn't launch child";
inline constexpr const char message_wait_failed[] = "Error, couldn't wait for child";
