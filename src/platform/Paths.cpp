#include "platform/Paths.h"

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

std::wstring WorkspaceRootFor([[maybe_unused]] const char* bhvRoot,
                              [[maybe_unused]] const char* home) {
#ifdef _WIN32
    return L"c:\\workspace\\";
#else
    if (bhvRoot && *bhvRoot) return WithTrailingSep(ToWide(bhvRoot));
    return WithTrailingSep(ToWide(home && *home ? home : ".")) + L"workspace/";
#endif
}

std::filesystem::path UserConfigFolderFor(const char* xdgConfigHome, const char* home) {
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG base directory rules say.
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        return std::filesystem::path(xdgConfigHome) / "bhv" / "";
    const std::filesystem::path base(home && *home ? home : ".");
    return base / ".config" / "bhv" / "";
}

std::wstring WorkspaceFolder(const std::wstring& path, const std::wstring& root) {
    if (!path.empty()) return WithTrailingSep(path);
    return root.empty() ? std::wstring() : WithTrailingSep(root);
}

std::wstring UploadFolder(const std::wstring& root) {
    return root + L"upload_data";
}

std::wstring UploadSettingsPath(const std::wstring& root) {
    return root + L"BHVW_Config.xml";
}

std::filesystem::path FsPath(std::wstring_view path) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(path));
#else
    return std::filesystem::path(ToNarrow(path));
#endif
}

std::wstring WidePath(const std::filesystem::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return ToWide(path.string());
#endif
}

}  // namespace bhv
