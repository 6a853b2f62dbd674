// Prints what it finds through its own files (helper.dll through its import
// table, plugin.dll and greeting.txt from the folder of library_path) and
// the executable's icon, then its arguments from the second on, and exits
// with 7.
#include <windows.h>

#include <cstdio>
#include <string>

extern "C" __declspec(dllimport) const char *helper_text();

namespace {

void print(const std::string &line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string utf8(const std::wstring &wide) {
    std::string out(wide.size() * 3, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0],
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? n : 0);
    return out;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path) {
    const std::wstring path(library_path);
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    print(std::string("helper: ") + helper_text());

    HMODULE plugin = LoadLibraryExW((folder + L"plugin.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    using Text = const char *(*)();
    Text plugin_text =
        plugin ? reinterpret_cast<Text>(reinterpret_cast<void *>(GetProcAddress(plugin, "plugin_text"))) : nullptr;
    print(std::string("plugin: ") + (plugin_text ? plugin_text() : "(not found)"));

    std::string greeting = "(not found)";
    if (FILE *file = _wfopen((folder + L"greeting.txt").c_str(), L"rb")) {
        char buffer[256];
        greeting.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
        std::fclose(file);
    }
    print("greeting: " + greeting);
    // The packed executable's icon group 1 (tavrik-run.exe has one too).
    print(std::string("icon: ") +
          (LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1)) ? "found" : "(not found)"));
    for (int i = 1; i < argc; ++i) print("argument " + std::to_string(i) + ": " + utf8(argv[i]));
    return 7;
}
