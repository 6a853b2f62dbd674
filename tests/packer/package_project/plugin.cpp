// Loaded by app.dll at run time, from app.dll's own folder.
extern "C" __declspec(dllexport) const char *plugin_text() { return "plugin.dll answers"; }
