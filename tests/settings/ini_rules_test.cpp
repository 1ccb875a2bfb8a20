// Reading and rewriting rules of config.ini, through ConfigStore on real files.
#include "settings/ConfigStore.h"
#include "settings/IniFile.h"
#include "support/TempDir.h"
#include "SettingsTestFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Repeat(std::string_view s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

struct ReadCase {
    const char* what;
    std::string file;
    std::string key;
    std::string expected;
};

TEST(IniRules, ReadsLikeTheProfileService)
{
    const std::string head = "[SET DEFAULT VALUE]\n";
    const std::vector<ReadCase> cases = {
        {"exact", head + "Name=abc\n", "Name", "abc"},
        {"key case", head + "NAME=abc\n", "name", "abc"},
        {"section case", "[set default Value]\nk=v\n", "k", "v"},
        {"blanks around key and value", head + " \t k \t=  \t v  x \t\n", "K", "v  x"},
        {"blanks inside brackets", "[ SET DEFAULT VALUE ]\nk=v\n", "k", "v"},
        {"double quotes dropped", head + "k=\"a b\"\n", "k", "a b"},
        {"single quotes dropped", head + "k=' a '\n", "k", " a "},
        {"only one pair dropped", head + "k=\"\"x\"\"\n", "k", "\"x\""},
        {"unmatched quotes kept", head + "k=\"a'\n", "k", "\"a'"},
        {"first duplicate wins", head + "k=first\nK=second\n", "k", "first"},
        {"first duplicate section wins", head + "a=1\n[Other]\nb=2\n" + head + "a=2\nc=3\n", "c", ""},
        {"other section not read", "[Other]\nk=v\n" + head, "k", ""},
        {"before any section not read", "k=v\n" + head, "k", ""},
        {"empty value", head + "k=\n", "k", ""},
        {"absent key", head + "j=1\n", "k", ""},
        {"comment line is no key", head + ";k=1\n", ";k", ""},
        {"CRLF", "[SET DEFAULT VALUE]\r\nk=v\r\n", "k", "v"},
        {"259 characters whole", head + "k=" + std::string(259, 'x') + "\n", "k", std::string(259, 'x')},
        {"300 characters cut", head + "k=" + std::string(300, 'x') + "\n", "k", std::string(259, 'x')},
        {"cut counts characters", head + "k=" + Repeat("中", 300) + "\n", "k", Repeat("中", 259)},
        {"cut keeps surrogate pairs", head + "k=a" + Repeat("😀", 130) + "\n", "k", "a" + Repeat("😀", 129)},
        {"cut after quotes", head + "k=\"" + std::string(300, 'y') + "\"\n", "k", std::string(259, 'y')},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteBytes(dir.File("config.ini"), c.file);
        EXPECT_EQ(ConfigStore(dir.Path()).GetValue(c.key), c.expected) << c.what;
    }
}

TEST(IniRules, RewriteTouchesOnlyTheChangedLines)
{
    struct Case {
        const char* what;
        std::string before;
        ConfigStore::KeyValues writes;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"missing file created", "<none>", {{"nextId", "1"}}, "[SET DEFAULT VALUE]\nnextId=1\n"},
        {"replace in place, append after last key, CRLF kept",
         ";top\r\n[Other]\r\nx = 1\r\n\r\n[SET DEFAULT VALUE]\r\n  nextId = 3 \r\n; note\r\nm_bAutoRun=0\r\n\r\n[Tail]\r\ny=2",
         {{"NEXTID", "4"}, {"newKey", "v"}},
         ";top\r\n[Other]\r\nx = 1\r\n\r\n[SET DEFAULT VALUE]\r\nnextId=4\r\n; note\r\nm_bAutoRun=0\r\nnewKey=v\r\n\r\n[Tail]\r\ny=2"},
        {"missing section appended, last line ended",
         "[Tail]\ny=2",
         {{"k", "v"}},
         "[Tail]\ny=2\n[SET DEFAULT VALUE]\nk=v\n"},
        {"empty section gets keys after its header",
         "[SET DEFAULT VALUE]\n[B]\nb=1\n",
         {{"a", "1"}, {"c", ""}},
         "[SET DEFAULT VALUE]\na=1\nc=\n[B]\nb=1\n"},
        {"only the first duplicate is rewritten",
         "[SET DEFAULT VALUE]\nk=1\nk=2\n[SET DEFAULT VALUE]\nk=3\n",
         {{"k", "9"}, {"n", "x"}},
         "[SET DEFAULT VALUE]\nk=9\nk=2\nn=x\n[SET DEFAULT VALUE]\nk=3\n"},
        {"later pair wins, new key stays where first appended",
         "[SET DEFAULT VALUE]\n",
         {{"a", "1"}, {"b", "2"}, {"A", "3"}},
         "[SET DEFAULT VALUE]\na=3\nb=2\n"},
        {"values the reader would alter are quoted",
         "[SET DEFAULT VALUE]\n",
         {{"a", " lead"}, {"b", "\"q\""}, {"c", "x\""}},
         "[SET DEFAULT VALUE]\na=\" lead\"\nb=\"\"q\"\"\nc=x\"\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        if (c.before != "<none>")
            WriteBytes(dir.File("config.ini"), c.before);
        ASSERT_TRUE(ConfigStore(dir.Path()).SetValues(c.writes)) << c.what;
        EXPECT_EQ(ReadBytes(dir.File("config.ini")), c.after) << c.what;
    }
}

// The store keeps the document it wrote and edits it again on the next write; that must give
// the same file as reading the file afresh before each write.
TEST(IniRules, KeptDocumentAgreesWithAFreshRead)
{
    const std::vector<std::pair<const char*, std::string>> files = {
        {"none", ""},
        {"CRLF, no final newline", "[Other]\r\na=1\r\n[SET DEFAULT VALUE]\r\nk=1"},
        {"section missing, no final newline", "[Other]\na=1"},
        {"GBK", ReadBytes(std::string(CAMRELAY_TEST_DATA) + "/config_gbk.ini")},
        {"UTF-16LE", std::string("\xFF\xFE[\0S\0]\0\n\0", 10)},
    };
    const std::vector<ConfigStore::KeyValues> writes = {
        {{"k", "2"}, {"n1", "运行中"}}, {{"n2", " x "}}, {{"K", ""}, {"n1", "暂停中"}, {"n3", "3"}}, {{"n2", "y"}}};
    for (const auto& [what, bytes] : files) {
        TempDir kept, fresh;
        if (!bytes.empty()) {
            WriteBytes(kept.File("config.ini"), bytes);
            WriteBytes(fresh.File("config.ini"), bytes);
        }
        ConfigStore a(kept.Path()), b(fresh.Path());
        for (const auto& kv : writes) {
            ASSERT_TRUE(a.SetValues(kv)) << what;
            // Rewriting the same bytes in place changes the file's times: b reads it again.
            WriteBytes(fresh.File("config.ini"), ReadBytes(fresh.File("config.ini")));
            ASSERT_TRUE(b.SetValues(kv)) << what;
            EXPECT_EQ(ReadBytes(kept.File("config.ini")), ReadBytes(fresh.File("config.ini"))) << what;
            EXPECT_EQ(a.Keys(), b.Keys()) << what;
        }
        EXPECT_EQ(a.GetValue("n2"), "y") << what;
    }
}

TEST(IniRules, EveryValueReadsBackAsWritten)
{
    const std::vector<std::string> values = {
        "运行中", "暂停中", "是", "否", "", " lead", "trail ", "\t", "\"quoted\"", "'single'", "\"",
        "a=b", ";semi", "[x]", "rtsp://admin:p@ss@10.0.0.1:554/h264?channel=1&subtype=0",
        "/home/用户/水 印/logo.png", "😀", std::string(259, 'z')};
    TempDir dir;
    const std::string sub = dir.File("直播 客户端 v1");  // blanks and Chinese in the folder name
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    ConfigStore store(sub);
    for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_TRUE(store.SetValue(values[i], "k" + std::to_string(i))) << values[i];
    const IniFile fresh = IniFile::Parse(ReadBytes(store.IniPath()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(store.GetValue("k" + std::to_string(i)), values[i]);
        EXPECT_EQ(fresh.GetValue("SET DEFAULT VALUE", "k" + std::to_string(i)), values[i]);
    }
}

TEST(IniRules, RefusesKeysAndValuesThatWouldChangeTheFileStructure)
{
    struct Case {
        std::string key;
        std::string value;
    };
    const std::vector<Case> cases = {
        {"0+Name", "cam\r\n0+ISDelete=true"}, {"0+Name", "cam\n[Other]"}, {"0+Name", "cam\r"},
        {"0+Name", std::string("cam\0x", 5)}, {"0+Name", "bad \xFF utf8"},
        {"a\nb", "1"}, {"a\rb", "1"}, {std::string("a\0b", 3), "1"}, {"a=b", "1"},
        {"[SET DEFAULT VALUE]", "1"}, {"", "1"}, {"  \t", "1"}, {";c", "1"}, {"\xC0\x80", "1"},
    };
    TempDir dir;
    ConfigStore store(dir.Path());
    ASSERT_TRUE(store.SetValue("keep", "0+Name"));
    const std::string before = ReadBytes(store.IniPath());
    const long replaces = ConfigStore::ReplaceCount();
    for (const auto& c : cases) {
        EXPECT_FALSE(store.SetValue(c.value, c.key)) << c.key << " = " << c.value;
        // One bad pair spoils the batch: nothing of it is written.
        EXPECT_FALSE(store.SetValues({{"ok", "1"}, {c.key, c.value}}));
    }
    EXPECT_EQ(ReadBytes(store.IniPath()), before);
    EXPECT_EQ(ConfigStore::ReplaceCount(), replaces);
    EXPECT_EQ(store.GetValue("0+ISDelete"), "");
}

TEST(IniRules, KeysListsTheSectionInFileOrder)
{
    TempDir dir;
    WriteBytes(dir.File("config.ini"),
               "a=0\n[SET DEFAULT VALUE]\nnextId=2\n; c=1\n0+Name=x\nNEXTID=5\ngarbage\n[O]\nz=1\n"
               "[set default value]\nlate=1\n");
    EXPECT_EQ(ConfigStore(dir.Path()).Keys(), (std::vector<std::string>{"nextId", "0+Name"}));
}

TEST(IniRules, DefaultStoreLivesBesideTheExecutable)
{
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string path = self;
    const ConfigStore store;
    EXPECT_EQ(store.ModuleDir(), path.substr(0, path.rfind('/')));
    EXPECT_EQ(store.IniPath(), store.ModuleDir() + "/config.ini");
}

}  // namespace
