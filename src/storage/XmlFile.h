#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Numbers.h"

namespace bhv {

// The flat XML settings files of the program: a declaration with version "1.0", one root
// element and one child element per key whose text is the value. Both settings records load
// and save through these two functions, so the file format lives in one place.

// Writes the file through a temporary file and a rename (a failed save leaves the old file).
bool SaveFlatXml(const std::filesystem::path& path, const std::string& root,
                 const std::vector<std::pair<std::string, std::string>>& children);

// The children of the document's first element (whatever its name): key -> text of the first
// element with that name ("" for an element without text). nullopt when the file is missing,
// unreadable, not well-formed XML (truncated, for instance) or has no element at all.
class FlatXml {
public:
    static std::optional<FlatXml> Load(const std::filesystem::path& path);
    // The text of the first child element named `key`; nullopt when there is none.
    std::optional<std::string> Text(const std::string& key) const;

private:
    std::vector<std::pair<std::string, std::string>> children_;
};

}  // namespace bhv
