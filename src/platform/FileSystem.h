#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bhv {

// Creates a folder and every missing parent. True when the folder exists afterwards; an empty
// path fails.
bool CreateDirectoryTree(const std::wstring& path);

// Free space available on the drive (file system) of `path`, in whole gigabytes (2^30 bytes,
// truncated); -1 when the query fails.
int64_t FreeSpaceGB(const std::wstring& path);

// Pushes a file's data to the disk (fsync); false when it cannot be opened or synced.
bool FlushToDisk(const std::filesystem::path& file);

// Replaces `target` so that a reader never sees a half-written file: `write` fills a temporary
// file beside the target, which is flushed to disk and then renamed over the target. When
// `write` fails or the disk is full, the temporary file is removed and the old target is left as
// it was. True when the target now holds the new content.
bool ReplaceFileAtomically(const std::filesystem::path& target,
                           const std::function<bool(const std::filesystem::path& temp)>& write);

// Reads a file of "a,b" lines of whole numbers under a header line (a file written line by line
// and flushed as it goes): every whole line up to the first that is not such a pair; a last
// line without its newline was cut off and is left out. False, with `error`, when the file
// cannot be read or its first line is not `header`; `kind` names the file in the error.
bool ReadNumberPairLines(const std::filesystem::path& path, const std::string& header,
                         const std::string& kind, std::vector<std::pair<int64_t, int64_t>>& rows,
                         std::string& error);

}  // namespace bhv
