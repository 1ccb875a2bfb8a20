// Lenient numbers from config.ini, the start-up scan with renumbering and loading a channel.
#include "SettingsTestFiles.h"
#include "settings/ChannelStore.h"

#include <climits>
#include <sys/stat.h>

// Every key a channel can store besides its name. Channel() writes each as "<key>/<id>",
// except VdWidth, VdKeyFrameSec and Adress3, which a move must write over with empty.
constexpr const char* kFields[] = {"checkstate", "checkstate1", "checkstate2", "checkstate3", "checkstate4",
    "SignalName", "Adress", "StreamName", "VdBitRate", "VdRameRate", "VdWidth", "VdHeight", "VdProFile", "AdChannel",
    "AdSmpLinGrate", "AdBitRate", "strFilePath", "StrPucSeatPos", "strValue", "strValue1", "strPucSeat", "strAVState",
    "VdTransCode", "AdToAAC", "AdSilence", "VdKeyFrameSec", "Adress2", "Adress3"};
static bool Unwritten(const std::string& field) { return field == "VdWidth" || field == "VdKeyFrameSec" || field == "Adress3"; }

static std::string Channel(int id, const std::string& name, const std::string& extra = "")
{
    const std::string p = std::to_string(id) + "+";
    std::string text = p + "Name=" + name + "\n";
    for (const std::string field : kFields)
        if (!Unwritten(field))
            text += p + field + "=" + field + "/" + std::to_string(id) + "\n";
    return text + extra;
}

// Listed channels move to the id of their row with every field (a missing one as empty), all moves
// in one replace of the file, and the next start-up finds nothing to move; when the replace is
// refused, each channel stays under its old id. The scan visits every id that holds keys, so a
// lagging nextId hides no stored channel. No move writes over keys not marked deleted (id 1 of
// the second file), and a name with a byte that decodes in no way still lists its channel and
// keeps its bytes in the file.
TEST(ChannelStore, ScanRenumbersInOneReplace)
{
    struct Case { std::string file; std::vector<int> oldIds, ids; std::vector<std::string> names; bool readOnly = false; };
    const Case cases[] = {
        {Channel(0, "a") + Channel(1, "b", "1+VdWidth=9\n1+VdKeyFrameSec=9\n1+Adress3=9\n1+ISDelete=true\n") + Channel(2, "c", "2+ISDelete=false\n"),
         {0, 2}, {0, 1}, {"a", "c"}},
        {Channel(0, "a", "0+ISDelete=TRUE\n") + "1+VdWidth=9\n" + Channel(3, "d") + Channel(1000000, "z"),
         {0, 3, 1000000}, {0, 3, 2}, {"a", "d", "z"}},
        {Channel(1, "a") + Channel(3, "b"), {1, 3}, {1, 3}, {"a", "b"}, true},
        // Large enough that the parse is let go after the scan: reads and the next scan parse again.
        {Channel(2, "x") + ";" + std::string(3 << 20, 'x') + "\n" + Channel(4, "y"), {2, 4}, {0, 1}, {"x", "y"}},
        {Channel(0, "a") + Channel(1, "b\x80") + Channel(3, "c"), {0, 1, 3}, {0, 1, 2}, {"a", "b\uFFFD", "c"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const ConfigStore store = StoreWith(dir, "[SET DEFAULT VALUE]\nnextId=1\n" + c.file);
        chmod(store.IniPath().c_str(), c.readOnly ? 0444 : 0644);
        const long replaces = ConfigStore::ReplaceCount();
        const auto got = ScanAndRenumber(store);
        ScanAndRenumber(store);  // the next start-up finds nothing to move
        EXPECT_EQ(ConfigStore::ReplaceCount(), replaces + (c.readOnly ? 0 : 1)) << c.names[0];
        EXPECT_EQ(ReadFile(store.IniPath()).find("b\x80\n") == std::string::npos, c.file.find('\x80') == std::string::npos);
        ASSERT_EQ(got.size(), c.oldIds.size()) << c.names[0];
        for (std::size_t r = 0; r < got.size(); ++r) {
            const std::string old = std::to_string(c.oldIds[r]), key = std::to_string(c.ids[r]) + "+";
            EXPECT_EQ(std::tie(got[r].oldId, got[r].id, got[r].name), std::tie(c.oldIds[r], c.ids[r], c.names[r]));
            for (const std::string field : kFields)
                EXPECT_EQ(store.GetValue(key + field), Unwritten(field) ? "" : field + "/" + old) << c.names[r] << field;
            // A channel loads from where the scan says it is, each value from its own key.
            const LoadedChannel loaded = LoadChannel(store, c.ids[r]);
            const LoadedChannelText shown = LoadChannelText(store, c.ids[r]);
            EXPECT_EQ(loaded.record.sourceUrl + "|" + loaded.state + "|" + shown.record.watermarkOffsetY + "|" +
                          shown.checks[4] + "|" + shown.record.width,
                      "SignalName/" + old + "|strAVState/" + old + "|strValue1/" + old + "|checkstate4/" + old + "|");
            EXPECT_EQ(loaded.record.extraPublish, std::vector<std::string>{"Adress2/" + old});
            EXPECT_EQ(shown.record.extraPublish, loaded.record.extraPublish);
        }
    }
}

// Numbers from config.ini are read leniently and clamped; a damaged nextId must not hand out an
// id whose keys belong to a stored channel.
TEST(ChannelStore, LenientNumbersAndFirstFreeChannelId)
{
    const std::pair<std::string, int> numbers[] = {{"", 0}, {"  42px", 42}, {"\t-7", -7}, {"abc", 0}, {"0x10", 0},
        {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}, {"99999999999999999999999", INT_MAX}};
    for (const auto& [text, value] : numbers)
        EXPECT_EQ(DecimalValue(text), value) << '"' << text << '"';
    TempDir dir;
    ConfigStore store(dir.Path());
    EXPECT_EQ(0, FirstFreeChannelId(store, -7));  // no file yet
    store.SetValues({{"0+Name", "a"}, {"1+ISDelete", "true"}, {"3+Name", "c"}, {"nextId", "1"}});
    const int cases[][2] = {{-7, 2}, {0, 2}, {1, 2}, {2, 2}, {3, 4}, {9, 9}};
    for (const auto& [from, expected] : cases)
        EXPECT_EQ(expected, FirstFreeChannelId(store, from)) << from;
}

// A channel without extra publish addresses stores exactly the keys it stored before they
// existed; a list is stored without gaps and replaces the stored one, its removed addresses
// leaving empty keys; a record without a list keeps the stored one unless it says the list was
// shown (an operator who deleted every address).
TEST(ChannelStore, ExtraPublishAddressesStoredAsAList)
{
    TempDir dir;
    const ConfigStore store(dir.Path());
    ChannelRecord r;
    r.name = "a", r.publishUrl = "rtmp://h/live/a";
    const auto adressKeys = [&store] {
        std::string keys;
        for (const std::string& key : store.Keys())
            if (key.find("Adress") != std::string::npos)
                keys += key + "=" + store.GetValue(key) + ";";
        return keys;
    };
    ASSERT_TRUE(StoreChannel(store, 0, r, {1, 0, 0, 1, 0}));
    EXPECT_EQ(adressKeys(), "0+Adress=rtmp://h/live/a;");
    struct Step { std::vector<std::string> extras; bool shown; std::string keys; };
    const Step steps[] = {
        {{"rtmp://b/live/x", "", "rtmp://c/live/y"}, false,
         "0+Adress=rtmp://h/live/a;0+Adress2=rtmp://b/live/x;0+Adress3=rtmp://c/live/y;"},
        {{}, false, "0+Adress=rtmp://h/live/a;0+Adress2=rtmp://b/live/x;0+Adress3=rtmp://c/live/y;"},
        {{"rtmp://c/live/y"}, false, "0+Adress=rtmp://h/live/a;0+Adress2=rtmp://c/live/y;0+Adress3=;"},
        {{}, true, "0+Adress=rtmp://h/live/a;0+Adress2=;0+Adress3=;"},
    };
    for (const Step& step : steps) {
        r.extraPublish = step.extras, r.extraPublishShown = step.shown;
        ASSERT_TRUE(StoreChannel(store, 0, r, {1, 0, 0, 1, 0}));
        EXPECT_EQ(adressKeys(), step.keys);
    }
    EXPECT_TRUE(LoadChannel(store, 0).record.extraPublish.empty());
}
