// An application that can only load when dependency.dll is found beside it;
// its exit code 4242 proves the call went through the imported function.

extern "C" __declspec(dllimport) int dependency_value();

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *) {
    return dependency_value();
}
