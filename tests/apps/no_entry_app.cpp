// A valid library without a run_code export: the launcher must report the
// missing entry point rather than crash or exit with a made-up result.

extern "C" __declspec(dllexport) int not_run_code(int, wchar_t **, const wchar_t *) { return 0; }
