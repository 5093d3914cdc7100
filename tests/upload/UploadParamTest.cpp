#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/Paths.h"
#include "support/Files.h"
#include "support/TempDir.h"
#include "upload/UploadParam.h"

namespace bhv {
namespace {

class UploadSettingsFile : public ::testing::Test {
protected:
    void Write(const std::string& children) const {
        std::ofstream(tmp / "BHVW_Config.xml", std::ios::binary)
            << "<?xml version=\"1.0\" ?>\n<sUPLOAD_PARAM>" << children << "</sUPLOAD_PARAM>\n";
    }
    std::string Read() const { return test::ReadFile(tmp / "BHVW_Config.xml"); }
    std::wstring Path() const { return UploadSettingsPath(tmp.wide()); }
    test::TempDir tmp;
};

TEST_F(UploadSettingsFile, SaveWritesTheFourteenKeysInOrderAtTheRootFolder) {
    UploadParam p;
    EXPECT_EQ(p.workspacePath, L"");  // its owner sets the root folder
    EXPECT_FALSE(SaveUploadParam(p, L""));
    p.workspacePath = L"/ws/";
    ASSERT_TRUE(SaveUploadParam(p, Path()));
    EXPECT_EQ(Read(),
              "<?xml version=\"1.0\" ?>\n"
              "<sUPLOAD_PARAM>\n"
              "    <dwIP>127.0.0.1</dwIP>\n"
              "    <iPort>5005</iPort>\n"
              "    <strLSH>140072</strLSH>\n"
              "    <strSZBH>P1</strSZBH>\n"
              "    <strCKBH>K2</strCKBH>\n"
              "    <nKJ>200</nKJ>\n"
              "    <nSGZC>15000</nSGZC>\n"
              "    <fZKSD>5.6</fZKSD>\n"
              "    <fZDBG>5</fZDBG>\n"
              "    <fSJQD>6.4</fSJQD>\n"
              "    <fLongitude>114.305</fLongitude>\n"
              "    <fLatitude>30.5928</fLatitude>\n"
              "    <IsUpload>0</IsUpload>\n"
              "    <m_strWorkspacePath>/ws/</m_strWorkspacePath>\n"
              "</sUPLOAD_PARAM>\n");
}

TEST_F(UploadSettingsFile, RoundTripKeepsEveryValueIncludingChineseText) {
    UploadParam a;
    a.serverAddress = 0xC0A8009A;
    a.serverPort = 6006;
    a.serialNumber = L"流水123";
    a.pileNumber = L"桩-7";
    a.holeNumber = L"测孔1";
    a.pileLengthMm = 22000;
    a.pileTopElevationM = -1.5f;
    a.latitude = 39.9f;
    a.realTimeUpload = 1;
    a.workspacePath = L"/数据/";
    ASSERT_TRUE(SaveUploadParam(a, Path()));
    EXPECT_NE(Read().find("<dwIP>192.168.0.154</dwIP>"), std::string::npos);
    UploadParam b;
    ASSERT_TRUE(LoadUploadParam(b, Path()));
    EXPECT_EQ(b.serverAddress, 0xC0A8009Au);
    EXPECT_EQ(b.serverPort, 6006);
    EXPECT_EQ(b.serialNumber, L"流水123");
    EXPECT_EQ(b.pileNumber, L"桩-7");
    EXPECT_EQ(b.holeNumber, L"测孔1");
    EXPECT_EQ(b.pileLengthMm, 22000);
    EXPECT_FLOAT_EQ(b.pileTopElevationM, -1.5f);
    EXPECT_FLOAT_EQ(b.latitude, 39.9f);
    EXPECT_EQ(b.realTimeUpload, 1);
    EXPECT_EQ(b.workspacePath, L"/数据/");
}

TEST_F(UploadSettingsFile, BadAddressAndNumbersFollowTheParsingRules) {
    Write(
        "<dwIP>300.1.1.1</dwIP><iPort>12ab</iPort><fZKSD>x</fZKSD>"
        "<nKJ>4294967406</nKJ><nSGZC>-99999999999</nSGZC>");
    UploadParam p;
    ASSERT_TRUE(LoadUploadParam(p, Path()));
    EXPECT_EQ(p.serverAddress, 0xFFFFFFFFu);
    EXPECT_EQ(p.serverPort, 12);
    EXPECT_FLOAT_EQ(p.drilledDepthM, 0.0f);
    // Beyond 32 bits the numbers are clamped, not wrapped (4294967406 would wrap to 110).
    EXPECT_EQ(p.holeDiameterMm, 2147483647);
    EXPECT_EQ(p.pileLengthMm, -2147483647 - 1);
}

TEST_F(UploadSettingsFile, MissingOrBrokenFileKeepsEveryValue) {
    UploadParam p;
    p.serverPort = 1;
    EXPECT_FALSE(LoadUploadParam(p, Path()));
    std::ofstream(tmp / "BHVW_Config.xml") << "<sUPLOAD_PARAM><iPort>9</iPo";
    EXPECT_FALSE(LoadUploadParam(p, Path()));
    EXPECT_EQ(p.serverPort, 1);
    EXPECT_EQ(p.serialNumber, L"140072");
}

}  // namespace
}  // namespace bhv
