#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

#include "structures/StructureCsv.h"

namespace bhv {
namespace {

StructurePick Vein() {
    StructurePick p;
    p.depthMm = 12345.678;
    p.heightMm = 61.2;
    p.apparentDipDeg = 33.125;
    p.apparentAzimuthDeg = 301.5;
    p.trueDipDeg = 41.75;
    p.trueAzimuthDeg = 288.0625;
    p.holeInclinationDeg = 8.5;
    p.holeAzimuthDeg = 45.0;
    p.diameterMm = 91.0;
    p.visibleFromDeg = 300.0;
    p.visibleToDeg = 400.0;  // through north
    p.apertureMm = 1.5;
    p.confidence = 1.0;
    p.kind = StructureKind::Vein;
    return p;
}

// Not oriented, no aperture, seen all round.
StructurePick Fracture() {
    StructurePick p;
    p.depthMm = 10002.5;
    p.heightMm = 12.0;
    p.apparentDipDeg = 7.5;
    p.apparentAzimuthDeg = 10.0;
    p.diameterMm = 91.0;
    p.confidence = 0.625;
    p.kind = StructureKind::Fracture;
    return p;
}

TEST(StructureCsv, PicksLayoutIsExact) {
    EXPECT_EQ(StructureCsv({Fracture(), Vein()}, StructureCsvLayout::Picks),
              "Depth,Azimuth,Dip,Aperture,Visible Azimuth Ranges,Type\r\n"
              "m,deg,deg,mm,deg,\r\n"
              "10.0025,,,,0.00-360.00,Fracture\r\n"
              "12.3457,288.06,41.75,1.50,300.00-40.00,Vein\r\n");
}

TEST(StructureCsv, DipsLayoutIsExactWithTheNullValue) {
    EXPECT_EQ(StructureCsv({Fracture(), Vein()}, StructureCsvLayout::Dips),
              "DEPTH,AZIMUTH,AZIM_APP,DIP,DIP_APP,HEIGHT,DIA_HOLE,CATEGORY,QUALITY,TILT\r\n"
              "METRES,DEGREES,DEGREES,DEGREES,DEGREES,METRES,MM,,,DEGREES\r\n"
              "10.0025,-999.25,10.00,-999.25,7.50,0.0120,91.0,Fracture,0.625,-999.25\r\n"
              "12.3457,288.06,301.50,41.75,33.13,0.0612,91.0,Vein,1.000,8.50\r\n");
}

TEST(StructureCsv, VisibleRangesAndNumbersWhateverTheLocale) {
    // A desktop session's locale with a decimal comma changes nothing.
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const auto range = [](double from, double to) {
        StructurePick p = Fracture();
        p.visibleFromDeg = from;
        p.visibleToDeg = to;
        const std::string line = StructureCsvLine(p, StructureCsvLayout::Picks);
        return line.substr(line.find(",,,,") + 4, line.rfind(',') - line.find(",,,,") - 4);
    };
    EXPECT_EQ(range(0, 360), "0.00-360.00");
    EXPECT_EQ(range(-90, 270), "0.00-360.00");
    EXPECT_EQ(range(99, 309), "99.00-309.00");
    EXPECT_EQ(range(-60, 40), "300.00-40.00");
    EXPECT_EQ(range(300, 40), "300.00-40.00");
    EXPECT_EQ(range(10, 360), "10.00-360.00");
    EXPECT_EQ(range(359.999, 90), "0.00-90.00");
    std::setlocale(LC_NUMERIC, before.c_str());
}

TEST(StructureCsv, BothLayoutsReadBackWhatTheyCarry) {
    for (const StructureCsvLayout layout : {StructureCsvLayout::Picks, StructureCsvLayout::Dips}) {
        SCOPED_TRACE(StructureCsvLayoutName(layout));
        StructureCsvContent content;
        std::string error;
        ASSERT_TRUE(ParseStructureCsv(StructureCsv({Fracture(), Vein()}, layout), content, error))
            << error;
        EXPECT_EQ(content.layout, layout);
        ASSERT_EQ(content.picks.size(), 2u);
        const StructurePick& f = content.picks[0];
        const StructurePick& v = content.picks[1];
        EXPECT_NEAR(f.depthMm, 10002.5, 1e-6);
        EXPECT_NEAR(v.depthMm, 12345.7, 1e-6);
        EXPECT_TRUE(std::isnan(f.trueDipDeg) && std::isnan(f.trueAzimuthDeg));
        EXPECT_NEAR(v.trueDipDeg, 41.75, 1e-9);
        EXPECT_NEAR(v.trueAzimuthDeg, 288.06, 1e-9);
        EXPECT_EQ(f.kind, StructureKind::Fracture);
        EXPECT_EQ(v.kind, StructureKind::Vein);
        if (layout == StructureCsvLayout::Picks) {
            EXPECT_TRUE(std::isnan(f.apertureMm));
            EXPECT_DOUBLE_EQ(v.apertureMm, 1.5);
            EXPECT_DOUBLE_EQ(v.visibleFromDeg, 300.0);
            EXPECT_DOUBLE_EQ(v.visibleToDeg, 40.0);
        } else {
            EXPECT_NEAR(v.apparentDipDeg, 33.13, 1e-9);
            EXPECT_NEAR(v.apparentAzimuthDeg, 301.5, 1e-9);
            EXPECT_NEAR(v.heightMm, 61.2, 1e-9);
            EXPECT_DOUBLE_EQ(v.diameterMm, 91.0);
            EXPECT_DOUBLE_EQ(f.confidence, 0.625);
            EXPECT_TRUE(std::isnan(f.holeInclinationDeg));
            EXPECT_DOUBLE_EQ(v.holeInclinationDeg, 8.5);
        }
    }
    // LF line ends and a header only.
    StructureCsvContent content;
    std::string error;
    EXPECT_TRUE(
        ParseStructureCsv("Depth,Azimuth,Dip,Aperture,Visible Azimuth Ranges,Type\n"
                          "m,deg,deg,mm,deg,\n",
                          content, error));
    EXPECT_TRUE(content.picks.empty());
}

TEST(StructureCsv, MalformedFilesAreRefusedWithTheLine) {
    StructureCsvContent content;
    std::string error;
    EXPECT_FALSE(ParseStructureCsv("depth_m,tilt_deg\n1,2\n", content, error));
    const std::string head = StructureCsvHeader(StructureCsvLayout::Picks);
    EXPECT_FALSE(ParseStructureCsv(head + "1.0,2,3,,0-360,Fracture\r\n1.x,2,3,,0-360,Bedding\r\n",
                                   content, error));
    EXPECT_EQ(error, "line 4: a number is not one");
    EXPECT_FALSE(ParseStructureCsv(head + "1.0,2,3,,90,Fracture\r\n", content, error));
    EXPECT_EQ(error, "line 3: the visible range is not FROM-TO");
    EXPECT_FALSE(ParseStructureCsv(head + "1.0,2,3\r\n", content, error));
    EXPECT_EQ(error, "line 3: has 3 fields, not 6");
}

}  // namespace
}  // namespace bhv
