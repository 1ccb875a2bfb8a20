// config.ini in the encodings it is found in: UTF-8 with and without BOM, UTF-16LE,
// GBK from older installations, and damaged files that decode as nothing in particular.
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "settings/TextCodec.h"
#include "support/TempDir.h"
#include "SettingsTestFiles.h"

#include <gtest/gtest.h>

namespace {

const std::string kFixtures = CAMRELAY_TEST_DATA;

// Files with a byte-order mark keep it and their encoding; values read as UTF-8.
TEST(IniEncoding, ByteOrderMarkedFilesKeepTheirEncoding)
{
    struct Case {
        std::string before;
        std::string name;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"\xEF\xBB\xBF[SET DEFAULT VALUE]\r\n0+Name=大门\r\n0+strAVState=暂停中\r\n", "大门",
         "\xEF\xBB\xBF[SET DEFAULT VALUE]\r\n0+Name=大门\r\n0+strAVState=运行中\r\n0+VdTransCode=是\r\n"},
        {Utf16LeFile(u"[SET DEFAULT VALUE]\r\nnextId=1\r\n0+Name=后院 😀\r\n0+strAVState=暂停中\r\n"), "后院 😀",
         Utf16LeFile(u"[SET DEFAULT VALUE]\r\nnextId=1\r\n0+Name=后院 😀\r\n0+strAVState=运行中\r\n"
                     u"0+VdTransCode=是\r\n")},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteBytes(dir.File("config.ini"), c.before);
        ConfigStore store(dir.Path());
        EXPECT_EQ(store.GetValue("0+Name"), c.name);
        EXPECT_EQ(store.GetValue("0+strAVState"), "暂停中");
        ASSERT_TRUE(store.SetValues({{"0+strAVState", "运行中"}, {"0+VdTransCode", "是"}}));
        EXPECT_EQ(ReadBytes(store.IniPath()), c.after);
    }
}

// Files carried over from Windows installations are in GBK. They read as such; the first rewrite
// converts the whole file to UTF-8 (never half of each).
TEST(IniEncoding, GbkFileReadsAndIsConvertedWholeOnRewrite)
{
    TempDir dir;
    const std::string gbk = ReadBytes(kFixtures + "/config_gbk.ini");
    const std::string utf8 = ReadBytes(kFixtures + "/config_gbk.utf8.ini");
    ASSERT_FALSE(gbk.empty());
    ASSERT_FALSE(TextCodec::IsValidUtf8(gbk));
    WriteBytes(dir.File("config.ini"), gbk);
    ConfigStore store(dir.Path());

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"0+Name", "大门摄像头"}, {"0+strAVState", "运行中"}, {"0+VdTransCode", "是"},
        {"1+Name", "后院 通道"}, {"1+strAVState", "暂停中"}, {"1+VdTransCode", "否"},
        {"0+strFilePath", "D:\\水印\\标志.png"}, {"2+strPucSeat", "右下"}, {"nextId", "3"}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(store.GetValue(key), value) << key;

    ASSERT_TRUE(store.SetValue("运行中", "2+strAVState"));
    std::string want = utf8;
    const std::string from = "2+strAVState=暂停中";
    want.replace(want.find(from), from.size(), "2+strAVState=运行中");
    EXPECT_EQ(ReadBytes(store.IniPath()), want);
    for (const auto& [key, value] : expected)
        EXPECT_EQ(store.GetValue(key), value) << key;
    EXPECT_EQ(store.GetValue("2+strAVState"), "运行中");

    // The start-up scan over the GBK file lists channels 0 and 2 with their Chinese words.
    WriteBytes(store.IniPath(), gbk);
    const auto rows = ScanAndRenumber(store, 3);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].name, "仓库");
    EXPECT_EQ(rows[1].state, "暂停中");
    EXPECT_EQ(store.GetValue("1+Name"), "仓库");
    EXPECT_TRUE(TextCodec::IsValidUtf8(ReadBytes(store.IniPath())));
}

// Damaged files: every line that can be read is read, no rewrite loses a readable channel,
// and lines that decode as nothing keep their bytes.
TEST(IniEncoding, DamagedFilesKeepTheirReadableChannels)
{
    static const char kJunk[] = "\x80\x81\xFF\x01\x02 binary \xFE\x00\x9F junk";
    const std::string junk(kJunk, sizeof kJunk - 1);
    const std::string gbkName = "\xBA\xF3\xD4\xBA";  // 后院 in GBK
    const std::string nuls(64, '\0');
    const std::string hugeLine = "big=" + std::string(1 << 20, 'q');
    struct Case {
        const char* what;
        std::string file;
        std::vector<std::pair<std::string, std::string>> readable;
        std::vector<std::string> keptBytes;
    };
    const std::vector<Case> cases = {
        {"junk, GBK and UTF-8 lines mixed",
         "[SET DEFAULT VALUE]\n0+Name=大门\n" + junk + "\n1+Name=" + gbkName + "\n" + nuls + "\n2+Name=cam2\n",
         {{"0+Name", "大门"}, {"1+Name", "后院"}, {"2+Name", "cam2"}},
         {junk}},
        {"zero-filled block in front of lines",
         nuls + "[SET DEFAULT VALUE]\n0+Name=a" + nuls + "\n" + nuls + "1+Name=b\n",
         {{"0+Name", "a"}, {"1+Name", "b"}},
         {}},
        {"1 MB line", "[SET DEFAULT VALUE]\n0+Name=a\n" + hugeLine + "\n1+Name=b\n",
         {{"0+Name", "a"}, {"1+Name", "b"}, {"big", std::string(259, 'q')}},
         {hugeLine}},
        {"duplicate sections", "[SET DEFAULT VALUE]\n0+Name=a\n[SET DEFAULT VALUE]\n1+Name=b\n0+Name=z\n",
         {{"0+Name", "a"}, {"1+Name", ""}},
         {"[SET DEFAULT VALUE]\n1+Name=b\n0+Name=z\n"}},
        {"binary only", junk + junk, {{"0+Name", ""}}, {junk + junk}},
        {"odd-sized UTF-16", Utf16LeFile(u"[SET DEFAULT VALUE]\r\n0+Name=a\r\n") + "\x41",
         {{"0+Name", "a"}},
         {}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteBytes(dir.File("config.ini"), c.file);
        ConfigStore store(dir.Path());
        for (const auto& [key, value] : c.readable)
            EXPECT_EQ(store.GetValue(key), value) << c.what << ": " << key;
        ScanAndRenumber(store, 10);
        ASSERT_TRUE(store.SetValue("7", "nextId")) << c.what;
        const std::string after = ReadBytes(store.IniPath());
        for (const auto& [key, value] : c.readable)
            EXPECT_EQ(store.GetValue(key), value) << c.what << ": " << key << " after a rewrite";
        EXPECT_EQ(store.GetValue("nextId"), "7") << c.what;
        for (const std::string& bytes : c.keptBytes)
            EXPECT_NE(after.find(bytes), std::string::npos) << c.what;
    }
}

}  // namespace
