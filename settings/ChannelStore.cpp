#include "settings/ChannelStore.h"

#include "settings/ConfigSection.h"
#include "settings/IniCache.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <unordered_map>

namespace {

using Reader = std::function<std::string(const std::string&)>;

// The fields copied before the deletion marks, then those copied after them.
constexpr const char* kCopyFirst[] = {
    "checkstate", "checkstate1", "checkstate2", "checkstate3", "checkstate4", "SignalName", "Adress",
    "StreamName", "VdBitRate", "VdRameRate", "VdWidth", "VdHeight", "VdProFile", "AdChannel",
    "AdSmpLinGrate", "AdBitRate", "strFilePath", "StrPucSeatPos"};
constexpr const char* kCopyLast[] = {"Name", "strValue", "strValue1", "strPucSeat", "strAVState", "VdTransCode"};

ConfigStore::KeyValues CopyWrites(const Reader& read, int src, int dst)
{
    ConfigStore::KeyValues writes;
    writes.reserve(std::size(kCopyFirst) + std::size(kCopyLast) + 2);
    for (const char* name : kCopyFirst)
        writes.emplace_back(ChannelKey(dst, name), read(ChannelKey(src, name)));
    writes.emplace_back(ChannelKey(dst, "ISDelete"), "false");
    writes.emplace_back(ChannelKey(src, "ISDelete"), "true");
    for (const char* name : kCopyLast)
        writes.emplace_back(ChannelKey(dst, name), read(ChannelKey(src, name)));
    return writes;
}

// The id of a channel key ("12+Name" -> 12) as the key formats write it: decimal digits
// without sign or leading zero, then '+'. -1 for any other key.
int KeyChannelId(const std::string& key)
{
    const std::size_t plus = key.find('+');
    if (plus == 0 || plus == std::string::npos || plus > 10 || (key[0] == '0' && plus > 1))
        return -1;
    long long id = 0;
    for (std::size_t i = 0; i < plus; ++i) {
        if (key[i] < '0' || key[i] > '9')
            return -1;
        id = id * 10 + (key[i] - '0');
    }
    return id > INT_MAX ? -1 : static_cast<int>(id);
}

std::string Fold(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

std::string ChannelKey(int id, const char* name)
{
    return std::to_string(id) + "+" + name;
}

int DecimalValue(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;  // saturate: the digits may go on for ever
    }
    if (negative)
        v = -v;
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

ConfigStore::KeyValues ChannelWrites(int id, const ChannelSettings& s, const CheckStates& checks)
{
    ConfigStore::KeyValues writes;
    auto text = [&](const char* name, const std::string& value) {
        if (!value.empty())
            writes.emplace_back(ChannelKey(id, name), value);
    };
    auto number = [&](const char* name, int value) {
        if (value != 0)
            writes.emplace_back(ChannelKey(id, name), std::to_string(value));
    };
    text("Name", s.Name);
    text("SignalName", s.SignalName);
    text("Adress", s.Adress);
    text("StreamName", s.StreamName);
    number("VdBitRate", s.VdBitRate);
    number("VdRameRate", s.VdRameRate);
    number("VdWidth", s.VdWidth);
    number("VdHeight", s.VdHeight);
    text("VdProFile", s.VdProFile);
    number("AdChannel", s.AdChannel);
    number("AdSmpLinGrate", s.AdSmpLinGrate);
    number("AdBitRate", s.AdBitRate);
    writes.emplace_back(ChannelKey(id, "strFilePath"), s.strFilePath);
    text("StrPucSeatPos", s.StrPucSeatPos);
    text("strValue", s.strValue);
    text("strValue1", s.strValue1);
    text("strPucSeat", s.strPucSeat);
    const char* checkNames[] = {"checkstate", "checkstate1", "checkstate2", "checkstate3", "checkstate4"};
    for (std::size_t i = 0; i < checks.size(); ++i)
        writes.emplace_back(ChannelKey(id, checkNames[i]), checks[i] ? "1" : "0");
    return writes;
}

bool StoreChannel(const ConfigStore& store, int id, const ChannelSettings& s, const CheckStates& checks)
{
    return store.SetValues(ChannelWrites(id, s, checks));
}

ConfigStore::KeyValues CopyChannelWrites(const ConfigStore& store, int src, int dst)
{
    return CopyWrites([&store](const std::string& key) { return store.GetValue(key); }, src, dst);
}

// Renumbering is planned in memory on one reading of the file: reads see the file plus the
// copies planned so far, exactly as key-by-key copies would have seen the file, and all the
// writes then go to the file in one replace, whose end state is that of the copies made one
// after the other.
std::vector<ScannedChannel> ScanAndRenumber(const ConfigStore& store, int nextId)
{
    std::vector<ScannedChannel> rows;
    if (nextId <= 0)
        return rows;
    std::shared_ptr<const IniFile> file = IniCache::Load(store.IniPath());

    // Only ids that have keys can hold a channel; a damaged, huge nextId costs nothing.
    std::vector<int> ids;
    for (const std::string& key : file->Keys(kConfigSection)) {
        const int id = KeyChannelId(key);
        if (id >= 0 && id < nextId)
            ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    std::unordered_map<std::string, std::string> planned;  // folded key -> value
    const Reader read = [&](const std::string& key) {
        const auto it = planned.find(Fold(key));
        return it != planned.end() ? it->second : file->GetValue(kConfigSection, key);
    };
    ConfigStore::KeyValues writes;
    for (const int id : ids) {
        if (read(ChannelKey(id, "ISDelete")) == "true")
            continue;
        ScannedChannel c;
        c.name = read(ChannelKey(id, "Name"));
        if (c.name.empty())
            continue;
        c.oldId = id;
        c.row = static_cast<int>(rows.size());
        c.state = read(ChannelKey(id, "strAVState"));
        c.transCode = read(ChannelKey(id, "VdTransCode"));
        c.width = read(ChannelKey(id, "VdWidth"));
        c.height = read(ChannelKey(id, "VdHeight"));
        if (id != c.row) {
            for (auto& kv : CopyWrites(read, id, c.row)) {
                planned[Fold(kv.first)] = kv.second;
                writes.push_back(std::move(kv));
            }
        }
        rows.push_back(std::move(c));
    }
    file.reset();  // unshared, the cached document is edited without a copy
    // When the moves cannot be saved, every channel stays readable under its old id.
    const bool committed = writes.empty() || store.SetValues(writes);
    for (ScannedChannel& c : rows)
        c.id = committed ? c.row : c.oldId;
    return rows;
}

int FirstFreeChannelId(const ConfigStore& store, int from)
{
    std::vector<int> used;
    for (const std::string& key : store.Keys())
        if (const int id = KeyChannelId(key); id >= 0)
            used.push_back(id);
    std::sort(used.begin(), used.end());
    int id = std::max(from, 0);
    for (const int taken : used) {
        if (taken > id)
            break;
        if (taken == id) {
            if (id == INT_MAX)
                return INT_MAX;
            ++id;
        }
    }
    return id;
}
