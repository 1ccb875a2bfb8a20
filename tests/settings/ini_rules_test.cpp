// Reading and rewriting rules of config.ini, through ConfigStore on real files.
#include "SettingsTestFiles.h"
#include "settings/IniFile.h"

static const std::string kHead = "[SET DEFAULT VALUE]\n";

TEST(IniRules, ReadsLikeTheProfileService)
{
    struct Case { const char* what; std::string file, key, expected; };
    const std::string x300(300, 'x'), x259(259, 'x');
    auto Repeat = [](std::string_view s, int n) { std::string out; while (n--) out += s; return out; };
    const Case cases[] = {
        {"case and blanks in names", "[ set default Value ]\nNAME=abc\n", "name", "abc"},
        {"blanks around key and value", kHead + " \t k \t=  \t v  x \t\n", "K", "v  x"},
        {"single quotes dropped", kHead + "k=' a '\n", "k", " a "},
        {"only one pair dropped", kHead + "k=\"\"x\"\"\n", "k", "\"x\""},
        {"unmatched quotes kept", kHead + "k=\"a'\n", "k", "\"a'"},
        {"first duplicate wins", kHead + "k=first\nK=second\n", "k", "first"},
        {"first duplicate section wins", kHead + "a=1\n[Other]\nb=2\n" + kHead + "c=3\n", "c", ""},
        {"other section and top not read", "k=v\n[Other]\nk=v\n" + kHead, "k", ""},
        {"cut counts characters", kHead + "k=" + Repeat("中", 300) + "\n", "k", Repeat("中", 259)},
        {"cut keeps surrogate pairs", kHead + "k=a" + Repeat("😀", 130) + "\n", "k", "a" + Repeat("😀", 129)},
        {"cut after quotes", kHead + "k=\"" + x300 + "\"\n", "k", x259},
    };
    for (const auto& c : cases) {
        TempDir dir;
        EXPECT_EQ(StoreWith(dir, c.file).GetValue(c.key), c.expected) << c.what;
    }
}

TEST(IniRules, RewriteTouchesOnlyTheChangedLines)
{
    struct Case { const char* what; std::string before; ConfigStore::KeyValues writes; std::string after; };
    const Case cases[] = {
        {"replace in place, append after last key, CRLF kept",
         ";top\r\n[O]\r\nx = 1\r\n\r\n[SET DEFAULT VALUE]\r\n  nextId = 3 \r\n; note\r\nm=0\r\n\r\n[T]\r\ny=2\r\n",
         {{"NEXTID", "4"}, {"newKey", "v"}},
         ";top\r\n[O]\r\nx = 1\r\n\r\n[SET DEFAULT VALUE]\r\nnextId=4\r\n; note\r\nm=0\r\nnewKey=v\r\n\r\n[T]\r\ny=2\r\n"},
        {"empty section: keys after its header", kHead + "[B]\n", {{"a", "1"}, {"c", ""}}, kHead + "a=1\nc=\n[B]\n"},
        {"first duplicate rewritten, later pair wins", kHead + "k=1\nk=2\n" + kHead + "k=3\n",
         {{"k", "9"}, {"n", "x"}, {"N", "y"}}, kHead + "k=9\nk=2\nn=y\n" + kHead + "k=3\n"},
        {"values the reader would alter are quoted", kHead, {{"a", "x "}, {"b", "\ty"}, {"c", "'z'"}, {"d", "'z\""}},
         kHead + "a=\"x \"\nb=\"\ty\"\nc=\"'z'\"\nd='z\"\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        ASSERT_TRUE(StoreWith(dir, c.before).SetValues(c.writes)) << c.what;
        EXPECT_EQ(ReadFile(dir.File("config.ini")), c.after) << c.what;
    }

    // Months of edits compact the kept edit text: every last value and the untouched line survive.
    IniFile doc = IniFile::Parse(kHead + "keep=\" 运行中 \"\n");
    for (int n = 0; n < 5000; ++n)
        ASSERT_TRUE(doc.SetValue("SET DEFAULT VALUE", "k" + std::to_string(n % 3), std::string(40, char('a' + n % 26))));
    const IniFile reread = IniFile::Parse(doc.Serialize());
    EXPECT_EQ(reread.GetValue("SET DEFAULT VALUE", "keep"), " 运行中 ");
    for (int n = 4997; n < 5000; ++n)
        EXPECT_EQ(reread.GetValue("SET DEFAULT VALUE", "k" + std::to_string(n % 3)), std::string(40, char('a' + n % 26)));
}

TEST(IniRules, RefusesKeysAndValuesThatWouldChangeTheFileStructure)
{
    const std::pair<std::string, std::string> cases[] = {
        {"0+Name", "cam\r\n0+ISDelete=true"}, {"0+Name", "cam\n[Other]"}, {"0+Name", "cam\r"},
        {"0+Name", std::string("cam\0x", 5)}, {"0+Name", "bad \xFF utf8"}, {"0+Name", "surrogate \xED\xA0\x80"}, {"a\nb", "1"}, {"a\rb", "1"},
        {std::string("a\0b", 3), "1"}, {"a=b", "1"}, {"[SET DEFAULT VALUE]", "1"}, {"  \t", "1"}, {";c", "1"},
    };
    TempDir dir;
    const ConfigStore store = StoreWith(dir, kHead + "0+Name=keep\n");
    for (const auto& [key, value] : cases) {
        EXPECT_FALSE(store.SetValue(value, key)) << key << " = " << value;
        EXPECT_FALSE(store.SetValues({{"ok", "1"}, {key, value}}));  // one bad pair spoils the batch
    }
    EXPECT_EQ(ReadFile(store.IniPath()), kHead + "0+Name=keep\n");
}
