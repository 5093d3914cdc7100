#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace bhv::test {

// The whole content of a file as bytes ("" when it cannot be read).
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace bhv::test
