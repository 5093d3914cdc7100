#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "storage/SysConfigParam.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

class SysConfigFile : public ::testing::Test {
protected:
    SysConfigParam Fresh() const {
        SysConfigParam c;
        c.folder = tmp.path();
        return c;
    }
    void Write(const std::string& content) const {
        std::ofstream(tmp / SysConfigParam::kFileName, std::ios::binary) << content;
    }
    void WriteKeys(const std::string& children, const std::string& root = "SYSCONFIG_PARAM") const {
        Write("<?xml version=\"1.0\" ?>\n<" + root + ">" + children + "</" + root + ">\n");
    }
    std::string Read() const { return test::ReadFile(tmp / SysConfigParam::kFileName); }
    test::TempDir tmp;
};

TEST_F(SysConfigFile, WithoutAFileLoadingFailsAndTheFirstSaveWritesEveryKeyInOrder) {
    SysConfigParam c = Fresh();
    c.workspacePath = L"/data/ws/";
    EXPECT_FALSE(c.Load());
    EXPECT_EQ(c.diameterTenthsMm, 700);
    EXPECT_EQ(c.workRing.centreX, 732);
    EXPECT_TRUE(c.Save());
    EXPECT_EQ(Read(),
              "<?xml version=\"1.0\" ?>\n"
              "<SYSCONFIG_PARAM>\n"
              "    <Diameter>700</Diameter>\n"
              "    <Xoffset>732</Xoffset>\n"
              "    <Yoffset>572</Yoffset>\n"
              "    <RadiusIn>260</RadiusIn>\n"
              "    <RadiusOut>500</RadiusOut>\n"
              "    <fStitchClarityScal>1.333340</fStitchClarityScal>\n"
              "    <fPulleyDiametermm>100.000000</fPulleyDiametermm>\n"
              "    <nWinchMode>0</nWinchMode>\n"
              "    <nStitchClarity>0</nStitchClarity>\n"
              "    <strWorkspacePath>/data/ws/</strWorkspacePath>\n"
              "    <fTiltAdjust>0.000000</fTiltAdjust>\n"
              "    <nIsArrivalToBotTrigValue>1</nIsArrivalToBotTrigValue>\n"
              "</SYSCONFIG_PARAM>\n");
}

TEST_F(SysConfigFile, SaveThenLoadKeepsEveryStoredValue) {
    SysConfigParam a = Fresh();
    a.diameterTenthsMm = 910;
    a.centreX = 700;
    a.radiusIn = 261;
    a.clarityScale = 1.5f;
    a.winchMode = 1;
    a.SetStitchClarity(1);
    a.workspacePath = L"/数据/孔/";
    a.tiltAdjust = -0.25f;
    a.bottomStillTrigger = 0;
    ASSERT_TRUE(a.Save());
    SysConfigParam b = Fresh();
    ASSERT_TRUE(b.Load());
    EXPECT_EQ(b.diameterTenthsMm, 910);
    EXPECT_EQ(b.centreX, 700);
    EXPECT_FLOAT_EQ(b.clarityScale, 1.5f);
    EXPECT_EQ(b.winchMode, 1);
    EXPECT_FLOAT_EQ(b.pulleyDiameterMm, 63.0f);
    EXPECT_EQ(b.stitchClarity, 1);
    EXPECT_EQ(b.workRing.centreX, 875);
    EXPECT_EQ(b.workRing.radiusIn, 326);  // 261 * 1.25 = 326.25, truncated
    EXPECT_EQ(b.workspacePath, L"/数据/孔/");
    EXPECT_FLOAT_EQ(b.tiltAdjust, -0.25f);
    EXPECT_EQ(b.bottomStillTrigger, 0);
}

TEST_F(SysConfigFile, PulleyFollowsTheWinchModeWhateverTheFileSays) {
    WriteKeys("<nWinchMode>2</nWinchMode><fPulleyDiametermm>63.0</fPulleyDiametermm>");
    SysConfigParam c = Fresh();
    ASSERT_TRUE(c.Load());
    EXPECT_EQ(c.winchMode, 0);
    EXPECT_FLOAT_EQ(c.pulleyDiameterMm, 100.0f);
    // (Mode 1 with the file's 100 mm: SaveThenLoadKeepsEveryStoredValue reads 63 mm back.)
}

TEST_F(SysConfigFile, MissingKeysKeepValuesExceptTheWorkspaceWhichBecomesEmpty) {
    WriteKeys("<Diameter>1200</Diameter>", "OTHER_ROOT");  // the root's name is not checked
    SysConfigParam c = Fresh();
    c.centreY = 600;
    ASSERT_TRUE(c.Load());
    EXPECT_EQ(c.diameterTenthsMm, 1200);
    EXPECT_EQ(c.centreY, 600);
    EXPECT_EQ(c.workspacePath, L"");
}

TEST_F(SysConfigFile, BrokenFilesLeaveEveryValueAsItWas) {
    for (const std::string content :
         {"", "not xml at all", "<?xml version=\"1.0\" ?>", "<?xml version=\"1.0\" ?>\n<SYS"}) {
        Write(content);
        SysConfigParam c = Fresh();
        c.diameterTenthsMm = 1234;
        c.workspacePath = L"/root/";
        EXPECT_FALSE(c.Load()) << content;
        EXPECT_EQ(c.diameterTenthsMm, 1234);
        EXPECT_EQ(c.workspacePath, L"/root/");
    }
}

TEST_F(SysConfigFile, AFailedSaveLeavesTheOldFile) {
    SysConfigParam c = Fresh();
    ASSERT_TRUE(c.Save());
    const std::string before = Read();
    c.folder = tmp.path() / "missing-folder";
    c.diameterTenthsMm = 5;
    EXPECT_FALSE(c.Save());
    EXPECT_EQ(Read(), before);
}

TEST_F(SysConfigFile, MoveCentreRefusesMovesNearTheFrameEdge) {
    SysConfigParam c = Fresh();
    c.workRing.radiusOut = 500;
    c.workRing.centreX = 920;
    EXPECT_FALSE(c.MoveCentre(10, 0));  // 930 + 500 is not below 1430
    EXPECT_EQ(c.workRing.centreX, 920);
    EXPECT_FALSE(std::filesystem::exists(tmp / SysConfigParam::kFileName));

    c.workRing.centreX = 900;
    EXPECT_TRUE(c.MoveCentre(10, 0));
    EXPECT_EQ(c.workRing.centreX, 910);
    EXPECT_EQ(c.centreX, 910);
    EXPECT_NE(Read().find("<Xoffset>910</Xoffset>"), std::string::npos);

    c.workRing.centreY = 520;  // 510 - 500 is not above 10
    EXPECT_FALSE(c.MoveCentre(0, -10));
    EXPECT_EQ(c.workRing.centreY, 520);
}

TEST_F(SysConfigFile, TheSettingsFolderTakesOverAnOlderCopyOnceElseGetsTheDefaults) {
    // An older installation kept its file beside the executable.
    const std::filesystem::path older = tmp / "bin";
    std::filesystem::create_directories(older);
    std::ofstream(older / SysConfigParam::kFileName)
        << "<?xml version=\"1.0\" "
           "?>\n<SYSCONFIG_PARAM><Diameter>1234</Diameter></SYSCONFIG_PARAM>\n";
    const std::filesystem::path folder = tmp / "config" / "bhv";
    EXPECT_NE(PrepareSettingsFolder(folder, older).find("taken over"), std::string::npos);
    SysConfigParam c;
    c.folder = folder;
    ASSERT_TRUE(c.Load());
    EXPECT_EQ(c.diameterTenthsMm, 1234);
    EXPECT_TRUE(std::filesystem::exists(older / SysConfigParam::kFileName));  // copied, not moved

    // Once the folder has its file, neither an older copy nor the defaults replace it.
    c.diameterTenthsMm = 900;
    ASSERT_TRUE(c.Save());
    EXPECT_EQ(PrepareSettingsFolder(folder, older), "");
    ASSERT_TRUE(c.Load());
    EXPECT_EQ(c.diameterTenthsMm, 900);

    // Without an older copy the first start writes the defaults; without a folder nothing is
    // read or written.
    const std::filesystem::path fresh = tmp / "fresh";
    EXPECT_NE(PrepareSettingsFolder(fresh, {}).find("defaults"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(fresh / SysConfigParam::kFileName));
    SysConfigParam none;
    EXPECT_FALSE(none.Load());
    EXPECT_FALSE(none.Save());
}

}  // namespace
}  // namespace bhv
