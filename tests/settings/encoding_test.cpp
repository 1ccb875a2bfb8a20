// config.ini in the encodings it is found in: UTF-8 with and without BOM, UTF-16LE,
// GBK from older installations, and damaged files that decode as nothing in particular.
#include "SettingsTestFiles.h"
#include "settings/ChannelStore.h"
#include "settings/IniFile.h"
#include "settings/TextCodec.h"

// Files keep their encoding over more than one rewrite, except GBK from older installations:
// its first rewrite converts the whole file to UTF-8 (never half of each).
TEST(IniEncoding, FilesKeepTheirEncodingAndGbkIsConvertedWhole)
{
    const std::string data = CAMRELAY_TEST_DATA, gbk = ReadFile(data + "/config_gbk.ini");
    ASSERT_FALSE(gbk.empty() || TextCodec::IsValidUtf8(gbk));
    const std::string bom = "\xEF\xBB\xBF[SET DEFAULT VALUE]\r\n0+Name=后院 😀\r\n";
    const std::string added = "9+strAVState=运行中\r\n9+VdTransCode=是\r\n";
    const std::u16string utf16 = u"[SET DEFAULT VALUE]\r\n0+Name=后院 😀\r\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {bom, "后院 😀", bom + added},
        {Utf16LeFile(utf16), "后院 😀", Utf16LeFile(utf16 + u"9+strAVState=运行中\r\n9+VdTransCode=是\r\n")},
        {gbk, "大门摄像头", ReadFile(data + "/config_gbk.utf8.ini") + added},
    };
    for (const auto& [before, name, after] : cases) {
        TempDir dir;
        const ConfigStore store = StoreWith(dir, before);
        EXPECT_EQ(store.GetValue("0+Name"), name);
        ASSERT_TRUE(store.SetValue("运行中", "9+strAVState"));
        ASSERT_TRUE(store.SetValue("是", "9+VdTransCode"));
        EXPECT_EQ(ReadFile(store.IniPath()), after) << name;
        EXPECT_EQ(store.GetValue("0+Name"), name);
    }
}

// Damaged files: every line that can be read is read, no rewrite loses a readable channel,
// and lines that decode as nothing keep their bytes.
TEST(IniEncoding, DamagedFilesKeepTheirReadableChannels)
{
    const std::string junk("\x80\x81\xFF\x01\x02 binary \xFE\x00\x9F junk", 21), nuls(64, '\0');
    const std::string hugeLine = "big=" + std::string(1 << 20, 'q');
    using Values = std::vector<std::pair<std::string, std::string>>;
    struct Case { const char* what; std::string file; Values readable; std::string kept; };
    Case cases[] = {
        {"junk, GBK and UTF-8 lines mixed",
         nuls + "[SET DEFAULT VALUE]\n0+Name=大门\n" + junk + "\n1+Name=\xBA\xF3\xD4\xBA\n" + nuls + "\n2+Name=c\n",
         {{"0+Name", "大门"}, {"1+Name", "后院"}, {"2+Name", "c"}}, junk},
        {"1 MB line", "[SET DEFAULT VALUE]\n0+Name=a\n" + hugeLine + "\n1+Name=b\n",
         {{"0+Name", "a"}, {"1+Name", "b"}, {"big", std::string(259, 'q')}}, hugeLine},
        {"odd-sized UTF-16", Utf16LeFile(u"[SET DEFAULT VALUE]\r\n0+Name=a\r\n") + "\x41", {{"0+Name", "a"}}, ""},
        // Names whose UTF-8 bytes are also valid GB18030, beside one GBK line.
        {"UTF-8 names beside a GBK line",
         "[SET DEFAULT VALUE]\r\nnextId=3\r\n0+Name=大门\r\n1+Name=\xBA\xF3\xD4\xBA\r\n2+Name=摄像头二\r\n",
         {{"0+Name", "大门"}, {"1+Name", "后院"}, {"2+Name", "摄像头二"}}, "摄像头二"},
    };
    for (auto& c : cases) {
        TempDir dir;
        const ConfigStore store = StoreWith(dir, c.file);
        for (const char* when : {"", " after a rewrite"}) {
            for (const auto& [key, value] : c.readable)
                EXPECT_EQ(store.GetValue(key), value) << c.what << ": " << key << when;
            ScanAndRenumber(store);
            ASSERT_TRUE(store.SetValue("7", "nextId")) << c.what;
        }
        EXPECT_EQ(store.GetValue("nextId"), "7") << c.what;
        // A restart reads the file as written, not the kept document.
        const IniFile restarted = IniFile::Parse(ReadFile(store.IniPath()));
        c.readable.emplace_back("nextId", "7");
        for (const auto& [key, value] : c.readable)
            EXPECT_EQ(restarted.GetValue("SET DEFAULT VALUE", key), value) << c.what << ": " << key << " after a restart";
        EXPECT_NE(ReadFile(store.IniPath()).find(c.kept), std::string::npos) << c.what;
    }
}
