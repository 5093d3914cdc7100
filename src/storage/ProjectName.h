#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Text.h"

namespace bhv {

// The one rule for a project name (the hole number the operator types, or the name a tool gives
// a project it writes). The name becomes the project folder "<name> - <time stamp>", the
// database "<name>.prj" (with its "-journal" and ".pending" files), the PDF log "<name> log.pdf",
// and travels in the upload; projects are copied to Windows machines and USB sticks. So it must
// stay a single file name there too: no separator, no character a file name cannot hold, no
// hidden file, nothing Windows strips or reserves, and short enough in bytes.
enum class ProjectNameFault {
    None,
    TooLong,             // more than kProjectNameMaxLength characters
    ForbiddenCharacter,  // / \ : * ? " < > | or a control character (NUL included)
    DotName,             // "." or ".."
    LeadingDot,          // a hidden folder and file
    TrailingDotOrSpace,  // Windows drops it: the copy could not be opened again by its name
    ReservedName,        // CON, PRN, AUX, NUL, COM1-9, LPT1-9: "CON.prj" cannot exist on Windows
    TooManyBytes,        // the folder name would pass a file name's 255 bytes in UTF-8
};

inline constexpr int kProjectNameMaxLength = 64;
inline constexpr std::wstring_view kProjectNameForbidden = L"/\\:*?\"<>|";
// A file name holds at most 255 bytes; the folder adds " - " and the 19 bytes of its time stamp
// ("%Y-%m-%d %H.%M.%S"), more than any file inside adds to the name (".prj-journal": 12).
inline constexpr std::size_t kFileNameMaxBytes = 255;
inline constexpr std::size_t kProjectFolderAddedBytes = 3 + 19;
inline constexpr std::size_t kProjectNameMaxBytes = kFileNameMaxBytes - kProjectFolderAddedBytes;

// C0 and C1 control characters and DEL.
inline bool IsControlCharacter(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The device names Windows reserves, whatever the case and whatever follows a dot.
inline bool IsWindowsReservedName(std::wstring_view name) {
    std::wstring base(name.substr(0, name.find(L'.')));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL") return true;
    return base.size() == 4 && (base.starts_with(L"COM") || base.starts_with(L"LPT")) &&
           base[3] >= L'1' && base[3] <= L'9';
}

// What is wrong with `name` as a project name; None when it can name one. The empty name can
// (its project is named by the time stamp alone).
inline ProjectNameFault ProjectNameFaultOf(std::wstring_view name) {
    if (name.size() > static_cast<std::size_t>(kProjectNameMaxLength))
        return ProjectNameFault::TooLong;
    for (wchar_t c : name)
        if (kProjectNameForbidden.find(c) != std::wstring_view::npos || IsControlCharacter(c))
            return ProjectNameFault::ForbiddenCharacter;
    if (name.empty()) return ProjectNameFault::None;
    if (name == L"." || name == L"..") return ProjectNameFault::DotName;
    if (name.front() == L'.') return ProjectNameFault::LeadingDot;
    if (name.back() == L'.' || name.back() == L' ') return ProjectNameFault::TrailingDotOrSpace;
    if (IsWindowsReservedName(name)) return ProjectNameFault::ReservedName;
    if (ToNarrow(name).size() > kProjectNameMaxBytes) return ProjectNameFault::TooManyBytes;
    return ProjectNameFault::None;
}

}  // namespace bhv
