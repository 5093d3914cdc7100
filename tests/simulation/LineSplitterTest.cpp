#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulation/LineSplitter.h"

namespace bhv::sim {
namespace {

TEST(LineSplitter, HandsOnLinesAndDropsAnOverLongOneWithoutHoldingIt) {
    LineSplitter splitter(16);
    std::vector<std::string> lines;
    std::vector<std::size_t> tooLong;
    std::size_t mostHeld = 0;
    auto feed = [&](const std::string& bytes, std::size_t piece) {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            splitter.Feed(
                std::string_view(bytes).substr(at, piece),
                [&](std::string_view l) { lines.emplace_back(l); },
                [&](std::size_t n) { tooLong.push_back(n); });
            mostHeld = std::max(mostHeld, splitter.Held());
        }
    };
    // Lines cut anywhere, CR LF, an empty line, then 30 MB without a newline in 512-byte reads.
    feed("status\r\nbra", 3);
    feed("ke on\n\nwinch 2\n", 5);
    feed(std::string(30u << 20, 'x'), 512);
    feed("\nquit\n", 512);
    EXPECT_EQ(lines, (std::vector<std::string>{"status", "brake on", "", "winch 2", "quit"}));
    EXPECT_EQ(tooLong, (std::vector<std::size_t>{30u << 20}));
    EXPECT_LE(mostHeld, 16u);
    // A line of exactly the limit is kept; one byte more is not.
    lines.clear();
    feed(std::string(16, 'a') + "\n" + std::string(17, 'b') + "\n", 7);
    EXPECT_EQ(lines, (std::vector<std::string>{std::string(16, 'a')}));
    EXPECT_EQ(tooLong.back(), 17u);
}

}  // namespace
}  // namespace bhv::sim
