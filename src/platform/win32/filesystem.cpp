// Windows: where the executable, the current, temporary and Documents folders are.
#include "platform/os.h"

#include "qv_sys/assertion.h"
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

// The converted length without its terminator, 0 when the conversion failed.
sys_u32 to_utf8(char* buffer, sys_u32 size, const wchar_t* text) {
    const sys_u64 written = sys_windows_wide_to_utf8(buffer, size, text);
    return written ? (sys_u32)(written - 1) : 0;
}

} // namespace

sys_u32 os_exe_path(char* buffer, sys_u32 size) {
    wchar_t path[kPlatformPath];
    const DWORD ret = GetModuleFileNameW(GetModuleHandleW(nullptr), path, kPlatformPath);
    if (ret == 0) {
        SYS_CHECK(ret);
        SYS_CHECK(!"Failed getting path");
        return 0;
    }
    if (ret == kPlatformPath) {
        SYS_CHECK(!"Failed getting path");
        return 0;
    }
    path[ret] = 0;
    return to_utf8(buffer, size, path);
}

sys_u32 os_current_directory(char* buffer, sys_u32 size) {
    wchar_t path[kPlatformPath];
    const DWORD ret = GetCurrentDirectoryW(kPlatformPath, path);
    if (ret == 0) {
        SYS_CHECK(ret);
        SYS_CHECK(!"Failed getting path");
        return 0;
    }
    if (ret >= kPlatformPath) {
        SYS_CHECK(!"Failed getting path");
        return 0;
    }
    path[ret] = 0;
    return to_utf8(buffer, size, path);
}

sys_u32 os_temp_path(char* buffer, sys_u32 size) {
    wchar_t path[kPlatformPath + 2] = {};
    const DWORD tmp_path_ret = GetTempPathW(kPlatformPath + 2, path);
    SYS_CHECK_MSG(tmp_path_ret, "No temp dir");
    return to_utf8(buffer, size, path);
}

void os_documents_folder(char* buffer, sys_u32 size) {
    buffer[0] = 0;
    wchar_t* path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(kFolderDocuments, 0, nullptr, &path)) && path)
        to_utf8(buffer, size, path);
    // The text is released whether or not the lookup succeeded.
    CoTaskMemFree(path);
}

int os_chdir(const char* path) {
    return _chdir(path);
}
