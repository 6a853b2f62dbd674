// Imported by app.dll: the launcher must find it beside the application.
extern "C" __declspec(dllexport) const char *helper_text() { return "helper.dll answers"; }
