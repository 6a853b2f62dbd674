// A library that dependent_app.dll imports at load time, to test that the
// application's directory is searched for the application's own dependencies.

extern "C" __declspec(dllexport) int dependency_value() { return 4242; }
