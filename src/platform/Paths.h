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
// elsewhere $BHV_ROOT, or $HOME/workspace/ when it is not set.
std::wstring WorkspaceRoot();

// The folder of the upload copies: root + "upload_data".
std::wstring UploadFolder();

// The upload settings file: root + "BHVW_Config.xml".
std::wstring UploadSettingsPath();

// A filesystem path from a wide text path (UTF-8 on Linux).
std::filesystem::path FsPath(std::wstring_view path);

// `path` with exactly one trailing separator.
std::wstring WithTrailingSep(std::wstring path);

// A workspace folder as every writer joins it: `path` with exactly one trailing separator, or
// the root folder when `path` is empty (never the file system's root).
std::wstring WorkspaceFolder(const std::wstring& path);

}  // namespace bhv
