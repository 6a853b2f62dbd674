// What Windows itself reads from an executable's identity, for
// identity_test.py: the version resource through GetFileVersionInfoW and
// VerQueryValueW (strings found through its Translation, as Explorer finds
// them), and the icon groups through EnumResourceNamesW and LoadImageW.
//
//   identity_probe.exe FILE NAME...
//
// Prints, as UTF-8, one line each:
//   file_version=A.B.C.D / product_version=A.B.C.D
//   string NAME=VALUE            (or "string NAME missing")
//   group ID                     for each RT_GROUP_ICON, then for its images:
//   icon WxH loaded=WxH bytes=HEX   the size the group states, the size of
//                                the icon LoadImageW makes for it, and the
//                                RT_ICON resource's bytes
// Exit code 0, or 1 with a line on stderr when a call fails.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t *text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(size - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    return out;
}

std::string version_text(DWORD high, DWORD low) {
    char text[64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
    return text;
}

int fail(const char *what) {
    std::fprintf(stderr, "%s failed: %lu\n", what, GetLastError());
    return 1;
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

bool describe_group(HMODULE module, const wchar_t *group, std::string &out) {
    HRSRC found = FindResourceW(module, group, RT_GROUP_ICON);
    const BYTE *data = found ? static_cast<const BYTE *>(LockResource(LoadResource(module, found))) : nullptr;
    if (data == nullptr || SizeofResource(module, found) < 6) return false;
    const WORD count = *reinterpret_cast<const WORD *>(data + 4);
    if (SizeofResource(module, found) < 6 + sizeof(GroupEntry) * count) return false;
    for (WORD i = 0; i < count; ++i) {
        GroupEntry entry;
        memcpy(&entry, data + 6 + sizeof(GroupEntry) * i, sizeof entry);
        const int width = entry.width == 0 ? 256 : entry.width, height = entry.height == 0 ? 256 : entry.height;
        HICON icon = static_cast<HICON>(LoadImageW(module, group, IMAGE_ICON, width, height, 0));
        int loaded_width = 0, loaded_height = 0;
        ICONINFO info = {};
        if (icon != nullptr && GetIconInfo(icon, &info)) {
            BITMAP bitmap = {};
            if (GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap)) {
                loaded_width = bitmap.bmWidth;
                loaded_height = info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2;
            }
            if (info.hbmColor) DeleteObject(info.hbmColor);
            if (info.hbmMask) DeleteObject(info.hbmMask);
        }
        if (icon != nullptr) DestroyIcon(icon);
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(entry.id), RT_ICON);
        const BYTE *bytes = image ? static_cast<const BYTE *>(LockResource(LoadResource(module, image))) : nullptr;
        std::string hex;
        for (DWORD k = 0; bytes != nullptr && k < SizeofResource(module, image); ++k) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", bytes[k]);
            hex += pair;
        }
        out += "icon " + std::to_string(width) + "x" + std::to_string(height) + " loaded=" +
               std::to_string(loaded_width) + "x" + std::to_string(loaded_height) + " bytes=" + hex + "\n";
    }
    return true;
}

struct Groups {
    HMODULE module;
    std::string out;
    bool ok = true;
};

BOOL CALLBACK on_group(HMODULE module, LPCWSTR, LPWSTR name, LONG_PTR param) {
    Groups &groups = *reinterpret_cast<Groups *>(param);
    groups.out += IS_INTRESOURCE(name) ? "group " + std::to_string(reinterpret_cast<ULONG_PTR>(name)) + "\n"
                                       : "group " + utf8(name) + "\n";
    groups.ok = groups.ok && describe_group(module, name, groups.out);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) return fail("usage: identity_probe FILE NAME...");
    std::string out;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    if (size == 0) return fail("GetFileVersionInfoSizeW");
    std::string block(size, '\0');
    if (!GetFileVersionInfoW(argv[1], 0, size, &block[0])) return fail("GetFileVersionInfoW");
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(&block[0], L"\\", reinterpret_cast<void **>(&fixed), &length) || length < sizeof *fixed) {
        return fail("VerQueryValueW of the fixed version");
    }
    out += "file_version=" + version_text(fixed->dwFileVersionMS, fixed->dwFileVersionLS) + "\n";
    out += "product_version=" + version_text(fixed->dwProductVersionMS, fixed->dwProductVersionLS) + "\n";
    WORD *translation = nullptr;
    if (!VerQueryValueW(&block[0], L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation), &length) ||
        length < 4) {
        return fail("VerQueryValueW of the translation");
    }
    for (int i = 2; i < argc; ++i) {
        wchar_t path[512];
        swprintf(path, 512, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], argv[i]);
        wchar_t *value = nullptr;
        if (VerQueryValueW(&block[0], path, reinterpret_cast<void **>(&value), &length)) {
            out += "string " + utf8(argv[i]) + "=" + utf8(value) + "\n";
        } else {
            out += "string " + utf8(argv[i]) + " missing\n";
        }
    }

    HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return fail("LoadLibraryExW");
    Groups groups{module, {}};
    if (!EnumResourceNamesW(module, RT_GROUP_ICON, on_group, reinterpret_cast<LONG_PTR>(&groups))) {
        return fail("EnumResourceNamesW");
    }
    if (!groups.ok) return fail("reading an icon group");
    out += groups.out;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    return 0;
}
