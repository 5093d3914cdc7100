// The settings files as the program's earlier versions (TinyXML 2.6) wrote them, in
// settings-files/: read to the same values, written back byte for byte, damaged ones kept aside.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "storage/SysConfigParam.h"
#include "storage/XmlFile.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::pair<std::string, std::string>>;

fs::path Fixture(const std::string& name) {
    return fs::path(BHV_SETTINGS_FILES) / name;
}

// Every key's text, as the earlier version read it from the fixture.
void ExpectTexts(const fs::path& file, const Texts& expected) {
    const std::optional<FlatXml> xml = FlatXml::Load(file);
    ASSERT_TRUE(xml) << file;
    for (const auto& [key, text] : expected) EXPECT_EQ(xml->Text(key), text) << file << " " << key;
}

const Texts kUploadChinese = {
    {"dwIP", "10.0.1.5"},      {"iPort", "6006"},
    {"strLSH", "流水号-2024"}, {"strSZBH", "桩<7>&\"8\""},
    {"strCKBH", "测孔'1'"},    {"nKJ", "1200"},
    {"nSGZC", "32500"},        {"fZKSD", "31.25"},
    {"fZDBG", "-2.5"},         {"fSJQD", "35"},
    {"fLongitude", "121.474"}, {"fLatitude", "31.2304"},
    {"IsUpload", "1"},         {"m_strWorkspacePath", "/数据/工作区/"},
};

const Texts kUploadDefaults = {
    {"dwIP", "127.0.0.1"},
    {"iPort", "5005"},
    {"strLSH", "140072"},
    {"strSZBH", "P1"},
    {"strCKBH", "K2"},
    {"nKJ", "200"},
    {"nSGZC", "15000"},
    {"fZKSD", "5.6"},
    {"fZDBG", "5"},
    {"fSJQD", "6.4"},
    {"fLongitude", "114.305"},
    {"fLatitude", "30.5928"},
    {"IsUpload", "0"},
    {"m_strWorkspacePath", "/home/bhv/workspace/"},
};

class SettingsFiles : public ::testing::Test {
protected:
    // The fixture as the user's system configuration file.
    SysConfigParam LoadAsSysConfig(const std::string& fixture, bool& loaded) {
        fs::copy_file(Fixture(fixture), tmp / SysConfigParam::kFileName,
                      fs::copy_options::overwrite_existing);
        SysConfigParam c;
        c.folder = tmp.path();
        loaded = c.Load();
        return c;
    }
    test::TempDir tmp;
};

TEST_F(SettingsFiles, TheEarlierVersionsFilesReadToTheSameValuesAndAreWrittenBackByteForByte) {
    for (const std::string name : {"sysconfig-chinese.xml", "sysconfig-windows.xml"}) {
        bool loaded = false;
        const SysConfigParam c = LoadAsSysConfig(name, loaded);
        ASSERT_TRUE(loaded) << name;
        if (name == "sysconfig-chinese.xml") {
            EXPECT_EQ(c.diameterTenthsMm, 1100);
            EXPECT_EQ(c.centreX, 741);
            EXPECT_EQ(c.centreY, 566);
            EXPECT_EQ(c.radiusIn, 255);
            EXPECT_EQ(c.radiusOut, 505);
            EXPECT_FLOAT_EQ(c.clarityScale, 1.5f);
            EXPECT_EQ(c.winchMode, 1);
            EXPECT_FLOAT_EQ(c.pulleyDiameterMm, 63.0f);
            EXPECT_EQ(c.stitchClarity, 1);
            EXPECT_EQ(c.workspacePath, L"/数据/钻孔 工程/");
            EXPECT_FLOAT_EQ(c.tiltAdjust, -0.35f);
            EXPECT_EQ(c.bottomStillTrigger, 25);
            ASSERT_TRUE(c.Save());
            EXPECT_EQ(test::ReadFile(tmp / SysConfigParam::kFileName),
                      test::ReadFile(Fixture(name)));
        } else {
            // A copy edited on Windows (byte order mark, CR LF) reads as the defaults it holds
            // and is written back as the earlier version wrote the defaults.
            EXPECT_EQ(c.diameterTenthsMm, 700);
            EXPECT_FLOAT_EQ(c.clarityScale, 1.33334f);
            EXPECT_EQ(c.workspacePath, L"/home/bhv/workspace/");
            ASSERT_TRUE(c.Save());
            EXPECT_EQ(test::ReadFile(tmp / SysConfigParam::kFileName),
                      test::ReadFile(Fixture("sysconfig-defaults.xml")));
        }
    }

    // The upload settings, key by key, and written again from those texts.
    for (const auto& [name, texts] : {std::pair{"upload-chinese.xml", &kUploadChinese},
                                      std::pair{"upload-defaults.xml", &kUploadDefaults}}) {
        ExpectTexts(Fixture(name), *texts);
        ASSERT_TRUE(SaveFlatXml(tmp / name, "sUPLOAD_PARAM", *texts));
        EXPECT_EQ(test::ReadFile(tmp / name), test::ReadFile(Fixture(name))) << name;
    }
}

TEST_F(SettingsFiles, AMissingElementKeepsItsValueAndADamagedFileIsKeptAsideUnread) {
    bool loaded = false;
    SysConfigParam c = LoadAsSysConfig("sysconfig-missing-radius.xml", loaded);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(c.radiusIn, 260);  // the default it had
    EXPECT_EQ(c.radiusOut, 505);
    EXPECT_EQ(c.workspacePath, L"/数据/钻孔 工程/");

    // Cut off inside a Chinese character (where TinyXML 2.6 read past its buffer), or with a
    // misspelt closing tag: nothing is read, the file is kept as a dated copy beside it.
    for (const std::string name :
         {"sysconfig-cut-in-character.xml", "sysconfig-misspelt-tag.xml"}) {
        for (const fs::directory_entry& e : fs::directory_iterator(tmp.path())) fs::remove(e);
        c = LoadAsSysConfig(name, loaded);
        EXPECT_FALSE(loaded) << name;
        EXPECT_EQ(c.diameterTenthsMm, 700) << name;
        EXPECT_TRUE(c.unreadable) << name;
        ASSERT_FALSE(c.unreadableCopy.empty()) << name;
        EXPECT_NE(c.unreadableCopy.filename().string().find("BhvSysConfigParam-unreadable-"),
                  std::string::npos);
        EXPECT_EQ(test::ReadFile(c.unreadableCopy), test::ReadFile(Fixture(name))) << name;
    }
}

// Texts as TinyXML 2.6 read them (each expectation was taken from the earlier version).
TEST_F(SettingsFiles, ElementTextsFollowTheEarlierReadersRules) {
    const auto load = [this](const std::string& content) {
        std::ofstream(tmp / "t.xml", std::ios::binary) << content;
        return FlatXml::Load(tmp / "t.xml");
    };
    const std::string declaration = "<?xml version=\"1.0\" ?>\n";
    struct Case {
        std::string body;  // the root element's content
        std::string text;  // what <a> reads as
    };
    const Case cases[] = {
        // White space folded, but not white space written as a reference.
        {"<a>  x \n\t y  </a>", "x y"},
        {"<a>&#x20;q&#x09;</a>", " q\t"},
        {"<a> &#32; </a>", ""},  // white space only: no text at all
        // The five entities and numeric references; an unknown entity loses its '&'.
        {"<a>&amp;&lt;&gt;&quot;&apos;</a>", "&<>\"'"},
        {"<a>&#65;&#x42;&#x4E2D;</a>", "AB中"},
        {"<a>A&B &foo;</a>", "AB foo;"},
        {"<a>x&#0;y</a>", "x"},
        // Comments, CDATA, nested elements: the first child, when a text, is the text.
        {"<a><!--c-->2</a>", ""},
        {"<a>3<!--c-->4</a>", "3"},
        {"<a><![CDATA[ x  &amp; ]]></a>", " x  &amp; "},
        {"<a>&#x20;<![CDATA[z]]></a>", "z"},
        {"<a>2<x/>3</a>", "2"},
        // Bytes of another encoding pass through as they are.
        {"<a>\xB9\xA4\xD7\xF7</a>", "\xB9\xA4\xD7\xF7"},
    };
    for (const Case& c : cases) {
        const std::optional<FlatXml> xml = load(declaration + "<R>" + c.body + "</R>");
        ASSERT_TRUE(xml) << c.body;
        EXPECT_EQ(xml->Text("a"), c.text) << c.body;
    }
    // References make single bytes in a document declared in another encoding or undeclared,
    // UTF-8 after a byte order mark.
    EXPECT_EQ(load("<?xml version=\"1.0\" encoding=\"GBK\" ?><R><a>&#x4E2D;</a></R>")->Text("a"),
              "-");
    EXPECT_EQ(load("<R><a>&#x4E2D;</a></R>")->Text("a"), "-");
    EXPECT_EQ(load("\xEF\xBB\xBF<R><a>&#x4E2D;</a></R>")->Text("a"), "中");
    // What the earlier reader refused stays unreadable: a broken numeric reference anywhere, in
    // an attribute too, a broken declaration, no root before text.
    for (const std::string& broken :
         {declaration + "<R><a>&#xZZ;</a></R>", declaration + "<R><a>&#12</a><b>;</b></R>",
          declaration + "<R><a>1</a><b><c>&#q;</c></b></R>",
          declaration + "<R><a x=\"&#zz;\">1</a></R>",
          std::string("<?xml version=*\"1.0\" ?>\n<R><a>1</a></R>"),
          declaration + "text<R><a>1</a></R>", std::string(500, '\0')})
        EXPECT_FALSE(load(broken)) << broken;
    // The zeros a power cut leaves after the end do not spoil the file.
    EXPECT_EQ(load(declaration + "<R><a>1</a></R>\n" + std::string(64, '\0'))->Text("a"), "1");
}

TEST_F(SettingsFiles, TextsAreWrittenWithTheEarlierEscapesAndReadBack) {
    const Texts written = {
        {"a", "桩<7>&\"8\"'"}, {"b", "tab\there\nline"}, {"c", "&#x41;"}, {"d", ""}};
    ASSERT_TRUE(SaveFlatXml(tmp / "t.xml", "R", written));
    EXPECT_EQ(test::ReadFile(tmp / "t.xml"),
              "<?xml version=\"1.0\" ?>\n"
              "<R>\n"
              "    <a>桩&lt;7&gt;&amp;&quot;8&quot;&apos;</a>\n"
              "    <b>tab&#x09;here&#x0A;line</b>\n"
              "    <c>&amp;#x41;</c>\n"  // the earlier writer let "&#x" through: it read "A"
              "    <d></d>\n"
              "</R>\n");
    ExpectTexts(tmp / "t.xml", written);
}

}  // namespace
}  // namespace bhv
