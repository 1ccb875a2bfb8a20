// config.ini in the encodings it is found in: UTF-8 with and without BOM, UTF-16LE,
// GBK from older installations, and damaged files that decode as nothing in particular.
#include "SettingsTestFiles.h"
#include "settings/IniFile.h"
#include "settings/TextCodec.h"

#include <map>

// UTF-16LE bytes with a byte-order mark, from a UTF-16 literal.
static std::string Utf16LeFile(std::u16string_view text)
{
    std::string out = "\xFF\xFE";
    for (char16_t u : text)
        out += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return out;
}

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
    }
}

// Damaged files: every line that can be read is read, a rewrite loses no readable channel,
// and lines that decode as nothing keep their bytes. The mixed file's last name is UTF-8 whose
// bytes are also valid GB18030.
TEST(IniEncoding, DamagedFilesKeepTheirReadableChannels)
{
    const std::string junk("\x80\x81\xFF\x01\x02 binary \xFE\x00\x9F junk", 21), nuls(64, '\0');
    struct Case { const char* what; std::string file; std::map<std::string, std::string> values; std::string kept; };
    const Case cases[] = {
        {"junk, GBK and UTF-8 lines mixed",
         nuls + "[SET DEFAULT VALUE]\n0+Name=大门\n" + junk + "\n1+Name=\xBA\xF3\xD4\xBA\n" + nuls + "\n2+Name=摄像头二\n",
         {{"0+Name", "大门"}, {"1+Name", "后院"}, {"2+Name", "摄像头二"}}, junk},
        {"1 MB line", "[SET DEFAULT VALUE]\n0+Name=a\nbig=" + std::string(1 << 20, 'q') + "\n1+Name=b\n",
         {{"0+Name", "a"}, {"1+Name", "b"}, {"big", std::string(259, 'q')}}, std::string(1 << 20, 'q')},
        // As many bad bytes read as UTF-8 as read as GB18030: UTF-8, the encoding CamRelay writes.
        {"UTF-8 line with a stray byte", "[SET DEFAULT VALUE]\n0+Name=摄像头二\xFF\n", {{"0+Name", "摄像头二\uFFFD"}}, ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const ConfigStore store = StoreWith(dir, c.file);
        ASSERT_TRUE(store.SetValue("7", "nextId")) << c.what;
        // A restart reads the file as written, not the kept document.
        const IniFile restarted = IniFile::Parse(ReadFile(store.IniPath()));
        for (const auto& [key, value] : c.values)
            EXPECT_EQ(restarted.GetValue("SET DEFAULT VALUE", key), value) << c.what << ": " << key << " after a restart";
        EXPECT_NE(ReadFile(store.IniPath()).find(c.kept), std::string::npos) << c.what;
    }
}
