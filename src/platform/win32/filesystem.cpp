// Windows: where the executable, the current, temporary and Documents folders are.
#include "platform/os.h"

#include "qv_sys/platform.h"

#include <direct.h>
#include <shlobj.h>
#include <windows.h>

namespace {

// The classic path limit, terminator included.
constexpr DWORD kPlatformPath = 260;

// FOLDERID_Documents, spelled out so the library needs no GUID import library.
constexpr GUID kFolderDocuments = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};

// Always fits: kOsPathBytes holds three UTF-8 bytes for each of the platform buffer's units.
OsPathStatus to_utf8(char* path, const wchar_t* text) {
    static_assert(kOsPathBytes > (kPlatformPath + 2) * 3);
    sys_windows_wide_to_utf8(path, kOsPathBytes, text);
    return OsPathStatus::ok;
}

} // namespace

OsPathStatus os_exe_path(char* path) {
    wchar_t wide[kPlatformPath];
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), wide, kPlatformPath);
    if (length == 0)
        return OsPathStatus::call_failed;
    if (length == kPlatformPath)
        return OsPathStatus::cut;
    wide[length] = 0;
    return to_utf8(path, wide);
}

OsPathStatus os_current_directory(char* path) {
    wchar_t wide[kPlatformPath];
    const DWORD length = GetCurrentDirectoryW(kPlatformPath, wide);
    if (length == 0)
        return OsPathStatus::call_failed;
    if (length >= kPlatformPath)
        return OsPathStatus::cut;
    wide[length] = 0;
    return to_utf8(path, wide);
}

OsPathStatus os_temp_path(char* path) {
    wchar_t wide[kPlatformPath + 2] = {};
    if (GetTempPathW(kPlatformPath + 2, wide) == 0) {
        path[0] = 0;
        return OsPathStatus::call_failed;
    }
    return to_utf8(path, wide);
}

void os_documents_folder(char* buffer, sys_u32 size) {
    buffer[0] = 0;
    wchar_t* path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(kFolderDocuments, 0, nullptr, &path)) && path)
        sys_windows_wide_to_utf8(buffer, size, path);
    // The text is released whether or not the lookup succeeded.
    CoTaskMemFree(path);
}

int os_chdir(const char* path) {
    return _chdir(path);
}
