#include "platform/CommandLine.h"

#include <cstdio>
#include <string>

#include "bhv/Version.h"

namespace bhv {

std::optional<int> AnswerHelpOrVersion(int argc, char** argv, std::string_view name,
                                       std::string_view usage) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool help = arg == "--help" || arg == "-h";
        if (!help && arg != "--version") continue;
        std::printf("%.*s %s\n", static_cast<int>(name.size()), name.data(), BHV_VERSION);
        if (help) std::fwrite(usage.data(), 1, usage.size(), stdout);
        std::fflush(stdout);
        return 0;
    }
    return std::nullopt;
}

}  // namespace bhv
