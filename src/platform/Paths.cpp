#include "platform/Paths.h"

#include <cstdlib>

#include "platform/Text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace bhv {

std::filesystem::path ProgramFolder() {
#ifdef _WIN32
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::filesystem::path exe(std::wstring(buf, n));
#else
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) exe = std::filesystem::current_path(ec) / "bhv";
#endif
    return exe.parent_path() / "";
}

std::wstring WithTrailingSep(std::wstring path) {
    while (!path.empty() && (path.back() == L'/' || path.back() == L'\\')) path.pop_back();
    path += kPathSep;
    return path;
}

std::wstring WorkspaceRoot() {
#ifdef _WIN32
    return L"c:\\workspace\\";
#else
    if (const char* root = std::getenv("BHV_ROOT"); root && *root) return WithTrailingSep(ToWide(root));
    const char* home = std::getenv("HOME");
    return WithTrailingSep(ToWide(home && *home ? home : ".")) + L"workspace/";
#endif
}

std::wstring WorkspaceFolder(const std::wstring& path) {
    return path.empty() ? WorkspaceRoot() : WithTrailingSep(path);
}

std::wstring UploadFolder() { return WorkspaceRoot() + L"upload_data"; }

std::wstring UploadSettingsPath() { return WorkspaceRoot() + L"BHVW_Config.xml"; }

std::filesystem::path FsPath(std::wstring_view path) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(path));
#else
    return std::filesystem::path(ToNarrow(path));
#endif
}

}  // namespace bhv
