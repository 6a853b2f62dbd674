// Imported by helper.dll only.
extern "C" __declspec(dllexport) const char *base_text() { return "helper.dll answers through base.dll"; }
