#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace bhv {

// Separator of the folder paths the program builds as text ("\" on Windows, "/" elsewhere).
#ifdef _WIN32
inline constexpr wchar_t kPathSep = L'\\';
#else
inline constexpr wchar_t kPathSep = L'/';
#endif

// The folder of the running executable, with a trailing separator.
std::filesystem::path ProgramFolder();

// The root folder of all stored data, with a trailing separator: "c:\workspace\" on Windows;
// elsewhere `bhvRoot` (the value of BHV_ROOT) when it is set and not empty, or `home` +
// "/workspace/" (the current folder's when `home` is not set either).
std::wstring WorkspaceRootFor(const char* bhvRoot, const char* home);

// The folder of the user's settings, with a trailing separator: `xdgConfigHome` (the value of
// XDG_CONFIG_HOME) + "/bhv/" when it is an absolute path, else `home` + "/.config/bhv/" (the
// current folder's ".config/bhv/" when `home` is not set either).
std::filesystem::path UserConfigFolderFor(const char* xdgConfigHome, const char* home);

// The folder of the upload copies: root + "upload_data".
std::wstring UploadFolder(const std::wstring& root);

// The upload settings file: root + "BHVW_Config.xml".
std::wstring UploadSettingsPath(const std::wstring& root);

// A filesystem path from a wide text path (UTF-8 on Linux).
std::filesystem::path FsPath(std::wstring_view path);

// The wide text of a filesystem path (the inverse of FsPath: UTF-8 on Linux, whatever the
// process's locale; path::wstring() there converts through the locale and throws on Chinese).
std::wstring WidePath(const std::filesystem::path& path);

// `path` with exactly one trailing separator.
std::wstring WithTrailingSep(std::wstring path);

// A workspace folder as every writer joins it: `path` with exactly one trailing separator, or
// `root` when `path` is empty (never the file system's root: empty when both are).
std::wstring WorkspaceFolder(const std::wstring& path, const std::wstring& root);

}  // namespace bhv
