// Imported by app.dll: the launcher must find it beside the application. It
// imports base.dll in turn, which nothing names for packing: tavrik_pack()
// collects both from the application's runtime DLLs.
extern "C" __declspec(dllimport) const char *base_text();
extern "C" __declspec(dllexport) const char *helper_text() { return base_text(); }
