// Lenient numbers from config.ini, and the start-up scan with renumbering.
#include "SettingsTestFiles.h"
#include "settings/ChannelStore.h"
#include "settings/IniFile.h"

#include <climits>
#include <span>
#include <sys/stat.h>

TEST(ChannelStore, DecimalValueIsLenientAndClamped)
{
    const std::pair<std::string, int> cases[] = {{"", 0}, {"  42px", 42}, {"\t-7", -7}, {"abc", 0}, {"0x10", 0},
        {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}, {"99999999999999999999999", INT_MAX}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(DecimalValue(text), value) << '"' << text << '"';
}

static std::string Channel(int id, const std::string& name, const std::string& extra = "")
{
    const std::string p = std::to_string(id) + "+";
    return p + "Name=" + name + "\n" + p + "SignalName=rtsp://h/" + name + "\n" + p + "strValue=" + name + "\n" + extra;
}

// Listed channels move to the id of their row, every field (a missing one as empty), all moves
// in one replace of the file; when that is refused, each channel stays under its old id. A
// damaged or lagging nextId hides no stored channel, and the scan leaves it as it is.
TEST(ChannelStore, ScanRenumbersInOneReplace)
{
    struct Case { std::string file; std::vector<int> oldIds; std::string names; bool readOnly = false; };
    const std::string stale1 = "1+VdWidth=9\n1+ISDelete=true\n";
    const Case cases[] = {
        {Channel(0, "a") + Channel(1, "b", stale1) + Channel(2, "c", "2+ISDelete=false\n"), {0, 2}, "ac"},
        {Channel(0, "a", "0+ISDelete=TRUE\n") + "1+VdWidth=9\n" + Channel(3, "d") + Channel(9, "z"), {0, 3, 9}, "adz"},
        {Channel(3, "a") + Channel(1000000, "b"), {3, 1000000}, "ab"},
        {Channel(1, "a") + Channel(3, "b"), {1, 3}, "ab", true},
        // Large enough that the parse is let go after the scan: reads and the next scan parse again.
        {Channel(2, "a") + ";" + std::string(3 << 20, 'x') + "\n" + Channel(4, "b"), {2, 4}, "ab"},
    };
    const std::string nextIds[] = {"", "nextId=-5\n", "nextId=abc\n", "nextId=2\n", "nextId=8\n"};
    for (const auto& c : cases) {
        // Every nextId with each small file; the 3 MB one is read once.
        for (const std::string& nextId : std::span(nextIds, c.file.size() < 100000 ? std::size(nextIds) : 1)) {
            SCOPED_TRACE(nextId + c.file.substr(0, 120));
            TempDir dir;
            const ConfigStore store = StoreWith(dir, "[SET DEFAULT VALUE]\n" + nextId + c.file);
            if (c.readOnly)
                chmod(store.IniPath().c_str(), 0444);
            const std::string nextIdBefore = store.GetValue("nextId");
            const long replaces = ConfigStore::ReplaceCount();
            const auto rows = ScanAndRenumber(store);
            EXPECT_EQ(ConfigStore::ReplaceCount(), replaces + (c.readOnly ? 0 : 1));
            const auto again = ScanAndRenumber(store);  // the next start-up finds nothing to move
            EXPECT_EQ(ConfigStore::ReplaceCount(), replaces + (c.readOnly ? 0 : 1));
            EXPECT_EQ(store.GetValue("nextId"), nextIdBefore);
            ASSERT_EQ(rows.size(), c.oldIds.size());
            ASSERT_EQ(again.size(), rows.size());
            const IniFile written = IniFile::Parse(ReadFile(store.IniPath()));
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const int oldId = c.oldIds[r], id = c.readOnly ? oldId : int(r);
                const std::string name(1, c.names[r]);
                EXPECT_EQ(std::tie(rows[r].oldId, rows[r].id, rows[r].name, again[r].oldId), std::tie(oldId, id, name, id));
                EXPECT_EQ(written.GetValue("SET DEFAULT VALUE", ChannelKey(id, "SignalName")), "rtsp://h/" + name);
                EXPECT_EQ(store.GetValue(ChannelKey(id, "strValue")) + store.GetValue(ChannelKey(id, "VdWidth")), name);
            }
        }
    }
}

// A damaged nextId must not hand out an id whose keys belong to a stored channel.
TEST(ChannelStore, FirstFreeChannelIdSkipsStoredKeys)
{
    TempDir dir;
    ConfigStore store(dir.Path());
    EXPECT_EQ(0, FirstFreeChannelId(store, -7));  // no file yet
    store.SetValues({{"0+Name", "a"}, {"1+ISDelete", "true"}, {"3+Name", "c"}, {"nextId", "1"}});
    const int cases[][2] = {{-7, 2}, {0, 2}, {1, 2}, {2, 2}, {3, 4}, {9, 9}};
    for (const auto& [from, expected] : cases)
        EXPECT_EQ(expected, FirstFreeChannelId(store, from)) << from;
}
