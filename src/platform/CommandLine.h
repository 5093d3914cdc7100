#pragma once

#include <optional>
#include <string_view>

namespace bhv {

// The options every program answers the same way, before its own: --version prints
// "NAME VERSION"; --help (or -h) prints that line and the usage, both on standard output.
// Returns the exit status (0) when one of them was given, nothing otherwise.
std::optional<int> AnswerHelpOrVersion(int argc, char** argv, std::string_view name,
                                       std::string_view usage);

}  // namespace bhv
