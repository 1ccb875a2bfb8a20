// Channel keys, storing and copying channels, and the start-up scan with renumbering.
#include "settings/ChannelStore.h"
#include "support/TempDir.h"
#include "SettingsTestFiles.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

std::vector<std::string> KeysOf(const ConfigStore::KeyValues& kv)
{
    std::vector<std::string> keys;
    for (const auto& p : kv)
        keys.push_back(p.first);
    return keys;
}

TEST(ChannelStore, DecimalValueIsLenient)
{
    const std::vector<std::pair<std::string, int>> cases = {
        {"", 0}, {"0", 0}, {"12", 12}, {"  42abc", 42}, {"\t\n-7", -7}, {"+5", 5}, {"abc", 0},
        {"-", 0}, {" 3 4", 3}, {"0x10", 0}, {"007", 7}, {"2147483647", INT_MAX},
        {"2147483648", INT_MAX}, {"-2147483648", INT_MIN}, {"-2147483649", INT_MIN},
        {"99999999999999999999999", INT_MAX}, {"运行中", 0}, {"1.9", 1}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(DecimalValue(text), value) << '"' << text << '"';
}

TEST(ChannelStore, StoringWritesByTheRules)
{
    const ChannelSettings full{"大门", "rtsp://127.0.0.1:8554/test", "rtmp://127.0.0.1:19355/live/a", "a", 300, 25,
                               320, 240, "high", 2, 44100, 32, "/tmp/wm.png", "10:10", "左上", "10", "-10"};
    const CheckStates checks = {1, 0, 0, 1, 5};

    EXPECT_EQ(KeysOf(ChannelWrites(7, full, checks)),
              (std::vector<std::string>{"7+Name", "7+SignalName", "7+Adress", "7+StreamName", "7+VdBitRate",
                                        "7+VdRameRate", "7+VdWidth", "7+VdHeight", "7+VdProFile", "7+AdChannel",
                                        "7+AdSmpLinGrate", "7+AdBitRate", "7+strFilePath", "7+StrPucSeatPos",
                                        "7+strValue", "7+strValue1", "7+strPucSeat", "7+checkstate",
                                        "7+checkstate1", "7+checkstate2", "7+checkstate3", "7+checkstate4"}));
    // An empty text or a 0 keeps the stored value; the path and check states are always written.
    EXPECT_EQ(ChannelWrites(0, ChannelSettings{}, CheckStates{}),
              (ConfigStore::KeyValues{{"0+strFilePath", ""}, {"0+checkstate", "0"}, {"0+checkstate1", "0"},
                                      {"0+checkstate2", "0"}, {"0+checkstate3", "0"}, {"0+checkstate4", "0"}}));

    TempDir dir;
    ConfigStore store(dir.Path());
    const long replaces = ConfigStore::ReplaceCount();
    ASSERT_TRUE(StoreChannel(store, 7, full, checks));
    EXPECT_EQ(ConfigStore::ReplaceCount(), replaces + 1);
    ChannelSettings edited;
    edited.Name = "大门2";
    ASSERT_TRUE(StoreChannel(store, 7, edited, CheckStates{1, 1, 0, 0, 0}));
    EXPECT_EQ(store.GetValue("7+Name"), "大门2");
    EXPECT_EQ(store.GetValue("7+VdBitRate"), "300");
    EXPECT_EQ(store.GetValue("7+strPucSeat"), "左上");
    EXPECT_EQ(store.GetValue("7+strFilePath"), "");
    EXPECT_EQ(store.GetValue("7+checkstate1"), "1");
    EXPECT_EQ(store.GetValue("7+checkstate4"), "0");
}

// The start-up scan as the window once did it: one read or write of the file per key.
std::vector<int> ScanKeyByKey(const ConfigStore& store, int nextId)
{
    static const char* first[] = {"checkstate", "checkstate1", "checkstate2", "checkstate3", "checkstate4",
                                  "SignalName", "Adress", "StreamName", "VdBitRate", "VdRameRate", "VdWidth",
                                  "VdHeight", "VdProFile", "AdChannel", "AdSmpLinGrate", "AdBitRate",
                                  "strFilePath", "StrPucSeatPos"};
    static const char* last[] = {"Name", "strValue", "strValue1", "strPucSeat", "strAVState", "VdTransCode"};
    std::vector<int> listed;
    for (int id = 0; id < nextId; ++id) {
        if (store.GetValue(ChannelKey(id, "ISDelete")) == "true" || store.GetValue(ChannelKey(id, "Name")).empty())
            continue;
        const int row = static_cast<int>(listed.size());
        listed.push_back(id);
        if (id == row)
            continue;
        for (const char* f : first)
            store.SetValue(store.GetValue(ChannelKey(id, f)), ChannelKey(row, f));
        store.SetValue("false", ChannelKey(row, "ISDelete"));
        store.SetValue("true", ChannelKey(id, "ISDelete"));
        for (const char* f : last)
            store.SetValue(store.GetValue(ChannelKey(id, f)), ChannelKey(row, f));
    }
    return listed;
}

std::string ChannelLines(int id, const std::string& name, const std::string& extra = "")
{
    const std::string p = std::to_string(id) + "+";
    std::string s = p + "Name=" + name + "\n" + p + "SignalName=rtsp://127.0.0.1:8554/" + name + "\n" + p +
        "VdWidth=" + std::to_string(320 + id) + "\n" + p + "strAVState=运行中\n" + extra;
    return s;
}

TEST(ChannelStore, ScanRenumbersLikeKeyByKeyCopies)
{
    struct Case {
        const char* what;
        std::string file;
        int nextId;
        std::vector<int> oldIds;  // of the listed rows
    };
    const std::string h = "[SET DEFAULT VALUE]\n";
    const std::vector<Case> cases = {
        {"0,1,2 with 1 deleted",
         h + "nextId=3\n" + ChannelLines(0, "a") + ChannelLines(1, "b", "1+ISDelete=true\n") + ChannelLines(2, "c"),
         3, {0, 2}},
        {"0..4 with 1 and 3 deleted",
         h + ChannelLines(0, "a") + ChannelLines(1, "b", "1+ISDelete=true\n") + ChannelLines(2, "c") +
             ChannelLines(3, "d", "3+ISDelete=true\n") + ChannelLines(4, "e"),
         5, {0, 2, 4}},
        {"only lower-case true deletes",
         h + ChannelLines(0, "a", "0+ISDelete=True\n") + ChannelLines(1, "b", "1+ISDelete=TRUE\n") +
             ChannelLines(2, "c", "2+ISDelete=true\n") + ChannelLines(3, "d", "3+ISDelete=false\n"),
         4, {0, 1, 3}},
        {"name-only channel listed, nameless skipped, sparse ids, targets without keys",
         h + "5+Name=solo\n" + "7+VdWidth=9\n" + ChannelLines(9, "x") + ChannelLines(12, "y"),
         13, {5, 9, 12}},
        {"ids at or above nextId ignored, odd keys ignored",
         h + ChannelLines(1, "a") + ChannelLines(3, "b") + "007+Name=z\n-1+Name=z\n+Name=z\n99999999999+Name=z\n",
         3, {1}},
        {"keys spelt in other case, quoted values",
         h + "2+NAME=\"  spaced  \"\n2+isdelete=false\n2+STRAVSTATE=暂停中\n", 3, {2}},
    };
    for (const auto& c : cases) {
        TempDir a, b;
        WriteBytes(a.File("config.ini"), c.file);
        WriteBytes(b.File("config.ini"), c.file);
        ConfigStore planned(a.Path()), reference(b.Path());

        const long replaces = ConfigStore::ReplaceCount();
        const auto rows = ScanAndRenumber(planned, c.nextId);
        EXPECT_LE(ConfigStore::ReplaceCount(), replaces + 1) << c.what;
        EXPECT_EQ(ScanKeyByKey(reference, c.nextId), c.oldIds) << c.what;

        ASSERT_EQ(rows.size(), c.oldIds.size()) << c.what;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            EXPECT_EQ(rows[r].row, static_cast<int>(r)) << c.what;
            EXPECT_EQ(rows[r].oldId, c.oldIds[r]) << c.what;
            EXPECT_EQ(rows[r].name, planned.GetValue(ChannelKey(rows[r].row, "Name"))) << c.what;
            EXPECT_EQ(rows[r].state, planned.GetValue(ChannelKey(rows[r].row, "strAVState"))) << c.what;
            EXPECT_EQ(rows[r].width, planned.GetValue(ChannelKey(rows[r].row, "VdWidth"))) << c.what;
        }
        EXPECT_EQ(ReadBytes(a.File("config.ini")), ReadBytes(b.File("config.ini"))) << c.what;
        // The next start-up finds nothing to move and writes nothing.
        const long settled = ConfigStore::ReplaceCount();
        EXPECT_EQ(ScanAndRenumber(planned, c.nextId).size(), rows.size()) << c.what;
        EXPECT_EQ(ConfigStore::ReplaceCount(), settled) << c.what;
    }
}

TEST(ChannelStore, ScanSurvivesAnyNextId)
{
    TempDir dir;
    WriteBytes(dir.File("config.ini"), "[SET DEFAULT VALUE]\n" + ChannelLines(3, "a") + ChannelLines(1000000, "b"));
    ConfigStore store(dir.Path());
    for (const int nextId : {INT_MIN, -5, 0})
        EXPECT_TRUE(ScanAndRenumber(store, nextId).empty()) << nextId;
    TempDir empty;
    EXPECT_TRUE(ScanAndRenumber(ConfigStore(empty.Path()), 5).empty());  // no file at all
    const auto rows = ScanAndRenumber(store, 2000000000);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].oldId, 1000000);
    EXPECT_EQ(store.GetValue("1+Name"), "b");
    EXPECT_EQ(ScanAndRenumber(store, INT_MAX).size(), 2u);
}

TEST(ChannelStore, ScanThatCannotWriteLeavesTheFileAlone)
{
    TempDir dir;
    const std::string file = "[SET DEFAULT VALUE]\n1+Name=a\n";
    WriteBytes(dir.File("config.ini"), file);
    chmod(dir.File("config.ini").c_str(), 0444);
    ConfigStore store(dir.Path());
    const auto rows = ScanAndRenumber(store, 2);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].oldId, 1);
    EXPECT_EQ(ReadBytes(dir.File("config.ini")), file);
}

}  // namespace
