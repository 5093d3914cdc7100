#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "Export.h"
#include "imaging/Jpeg.h"
#include "imaging/Pages.h"
#include "platform/Paths.h"
#include "report/PageStrips.h"
#include "report/ProjectReader.h"
#include "storage/ProjectDb.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::vector<std::string>> CsvRows(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream s(line);
        for (std::string cell; std::getline(s, cell, ',');) cells.push_back(cell);
        if (!line.empty() && line.back() == ',') cells.emplace_back();
        rows.push_back(cells);
    }
    return rows;
}

// The strips are laid out from the pages' headers and decoded one at a time: a page whose header
// is sound but whose picture is cut off is only found when its strip is taken. Its metre stays
// empty, is reported, and the pages around it are exported whole.
TEST(StripStreamTest, APageCutOffAfterItsHeaderLeavesItsMetreEmpty) {
    TempDir dir;
    const int cols = 240, rows = TrueProportionRows(cols, 10000, 700);
    cv::Mat picture(rows, cols, CV_8UC3);
    cv::randu(picture, 0, 255);
    const std::vector<uint8_t> page = EncodePage(picture);
    const std::vector<uint8_t> cut(page.begin(), page.begin() + page.size() / 2);
    ProjectDb db;
    db.SetWorkspacePath(WidePath(dir / "ws" / ""));
    ASSERT_TRUE(db.CreateProject(L"CUT", 0, 700, 0, 0));
    ASSERT_TRUE(db.InsertBigImage(10000, page));
    ASSERT_TRUE(db.InsertBigImage(20000, cut));
    ASSERT_TRUE(db.InsertBigImage(30000, page));
    const fs::path project = FsPath(db.ProjectFolder());
    db.Close();

    ProjectReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(project, error)) << error;
    const auto info = reader.UsableInfo(error);
    ASSERT_TRUE(info) << error;
    std::vector<std::string> layoutProblems;
    const PageStripStream stream(*info, reader, &layoutProblems);
    EXPECT_TRUE(layoutProblems.empty());
    ASSERT_EQ(stream.Count(), 3u);
    EXPECT_EQ(stream.PictureSize(1), cv::Size(cols, rows));  // what its header says
    std::vector<std::string> problems;
    const Strip second = stream.Take(1, &problems);
    EXPECT_TRUE(second.image.empty());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("page 20000: the picture cannot be decoded: 1.000 m to 2.000 m"),
              std::string::npos)
        << problems[0];
    // The pages around it come out as stored, wherever they are taken from.
    const Strip third = stream.Take(2);
    ASSERT_EQ(third.image.size(), picture.size());
    EXPECT_EQ(cv::norm(third.image, DecodeJpeg(page), cv::NORM_INF), 0.0);

    ExportSummary summary;
    ASSERT_TRUE(ExportProject(project, dir / "out", 120, summary, error)) << error;
    EXPECT_EQ(summary.strips, 2);
    ASSERT_EQ(summary.problems.size(), 1u);
    const auto sidecar = CsvRows(dir / "out" / "strips.csv");
    ASSERT_EQ(sidecar.size(), 3u);
    EXPECT_EQ(sidecar[1][1], "");  // no file
    EXPECT_EQ(sidecar[1][3], "1.0000");
    EXPECT_EQ(sidecar[1][4], "2.0000");
    EXPECT_EQ(sidecar[1][9], "0");   // a full page's metre
    EXPECT_EQ(sidecar[1][10], "1");  // missing
    for (size_t i : {0u, 2u}) {
        const cv::Mat strip = cv::imread((dir / "out" / sidecar[i][1]).string());
        EXPECT_EQ(strip.size(), picture.size()) << i;
        EXPECT_EQ(sidecar[i][10], "0");
    }
    EXPECT_TRUE(fs::exists(dir / "out" / "overview.png"));
}

}  // namespace
}  // namespace bhv::test
