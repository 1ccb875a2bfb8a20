#include "settings/ChannelStore.h"

#include "settings/AtomicFile.h"
#include "settings/ConfigSection.h"
#include "settings/IniCache.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

namespace {

using Reader = std::function<std::string(const std::string&)>;

// The fields copied before the deletion marks, then those copied after them.
constexpr const char* kCopyFirst[] = {
    "checkstate", "checkstate1", "checkstate2", "checkstate3", "checkstate4", "SignalName", "Adress",
    "StreamName", "VdBitRate", "VdRameRate", "VdWidth", "VdHeight", "VdProFile", "AdChannel",
    "AdSmpLinGrate", "AdBitRate", "strFilePath", "StrPucSeatPos"};
constexpr const char* kCopyLast[] = {"Name", "strValue", "strValue1", "strPucSeat", "strAVState", "VdTransCode"};

constexpr std::size_t kCopiedKeys = std::size(kCopyFirst) + std::size(kCopyLast) + std::size(kLaterKeys) + kMaxExtraPublish + 2;  // with both marks

ConfigStore::KeyValues CopyWrites(const Reader& read, int src, int dst)
{
    ConfigStore::KeyValues writes;
    writes.reserve(kCopiedKeys);
    for (const char* name : kCopyFirst)
        writes.emplace_back(ChannelKey(dst, name), read(ChannelKey(src, name)));
    writes.emplace_back(ChannelKey(dst, kDeletedKey), "false");
    writes.emplace_back(ChannelKey(src, kDeletedKey), "true");
    for (const char* name : kCopyLast)
        writes.emplace_back(ChannelKey(dst, name), read(ChannelKey(src, name)));
    // Where neither id holds one, a later key is not written: the file stays as it was.
    const auto copyLater = [&](const char* name) {
        if (std::string value = read(ChannelKey(src, name)); !value.empty() || !read(ChannelKey(dst, name)).empty())
            writes.emplace_back(ChannelKey(dst, name), std::move(value));
    };
    std::for_each(std::begin(kLaterKeys), std::end(kLaterKeys), copyLater);
    std::for_each(std::begin(kExtraPublishKeys), std::end(kExtraPublishKeys), copyLater);
    return writes;
}

// What the list shows of channel id (not its deletion mark): name, state word, re-encoding mark
// and size; and its addresses, which the listing checks and the web console's filter reads. The name is empty for a channel that is not listed.
ScannedChannel ReadListed(const Reader& read, int id)
{
    ScannedChannel c;
    c.oldId = c.id = id;
    c.name = read(ChannelKey(id, "Name"));
    if (c.name.empty())
        return c;
    c.state = read(ChannelKey(id, kStateKey));
    c.transCode = read(ChannelKey(id, kTransCodeKey));
    c.width = read(ChannelKey(id, "VdWidth"));
    c.height = read(ChannelKey(id, "VdHeight"));
    c.publishUrl = read(ChannelKey(id, "Adress"));
    c.sourceUrl = read(ChannelKey(id, "SignalName"));
    return c;
}

// Every channel id that holds a key in doc, ascending, each once.
std::vector<int> ChannelIds(const IniFile& doc)
{
    std::vector<int> ids;
    doc.ForEachKey(kConfigSection, [&ids](std::string_view key) {
        // A channel's keys usually stand together: keep one id per run of them.
        if (const int id = KeyChannelId(key); id >= 0 && (ids.empty() || ids.back() != id))
            ids.push_back(id);
    });
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

// Copies channel src to dst inside doc, reading what earlier copies wrote.
bool CopyInto(IniFile& doc, int src, int dst)
{
    const Reader read = [&doc](const std::string& key) { return doc.GetValue(kConfigSection, key); };
    bool ok = true;
    for (const auto& [key, value] : CopyWrites(read, src, dst))
        ok = doc.SetValue(kConfigSection, key, value) && ok;
    return ok;
}

// The start-up scan over doc. With edit (doc itself), the moves are written into it as they are
// planned, so that reads see the copies made so far, as key-by-key copies would have.
// Sets moved when a channel is to leave its id; ok turns false when a write is refused.
std::vector<ScannedChannel> ScanDocument(const IniFile& doc, IniFile* edit, bool& moved, bool& ok)
{
    // Every id that holds keys is visited, whatever "nextId" says: a damaged or lagging counter
    // must not hide a stored channel, and a huge one costs nothing.
    const std::vector<int> ids = ChannelIds(doc);

    const Reader read = [&doc](const std::string& key) { return doc.GetValue(kConfigSection, key); };
    // Ids whose keys a move must not write over: all but the deleted ones and those whose channel
    // has moved away. A channel whose row id is held (say, by keys without a readable name) stays
    // where it is, so that no stored address is ever lost to renumbering.
    std::vector<char> held(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k)
        held[k] = read(ChannelKey(ids[k], kDeletedKey)) != "true";
    const auto isHeld = [&ids, &held](int id) {
        const auto it = std::lower_bound(ids.begin(), ids.end(), id);
        return it != ids.end() && *it == id && held[static_cast<std::size_t>(it - ids.begin())];
    };
    std::vector<ScannedChannel> rows;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const int id = ids[k];
        if (!held[k])
            continue;
        ScannedChannel c = ReadListed(read, id);
        if (c.name.empty())
            continue;
        c.row = static_cast<int>(rows.size());
        // Rows only grow, so no later channel is moved to this row: its id need not be noted.
        if (id != c.row && !isHeld(c.row)) {
            moved = true;
            c.id = c.row;
            held[k] = 0;
            if (edit)
                ok = CopyInto(*edit, id, c.row) && ok;
        }
        rows.push_back(std::move(c));
    }
    return rows;
}

// After the scan the window holds what it lists, and a large file's parse (about twice the
// file's size) would otherwise stay resident while nothing reads it; the first later read
// or write (a channel's start, a changed setting) parses the file once more and keeps it.
void ReleaseLargeParse(const ConfigStore& store)
{
    constexpr off_t kKeepParseBelow = 1 << 20;  // about a thousand channels; smaller ones cost little
    IniCache::Release(store.IniPath(), kKeepParseBelow);
}

}  // namespace

int KeyChannelId(std::string_view key)
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

std::string ChannelKey(int id, const char* name)
{
    // Built in one allocation: the scan makes a few hundred thousand of these.
    char digits[16];
    const auto length = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, id).ptr - digits);
    const std::size_t nameSize = std::strlen(name);
    std::string key;
    key.reserve(length + 1 + nameSize);
    key.append(digits, length).append(1, '+').append(name, nameSize);
    return key;
}

bool StoredRtspTcp(const ConfigStore& store)
{
    return DecimalValue(store.GetValue(kRtspTcpKey)) > 0;
}

bool IsSourceScheme(std::string_view url)
{
    for (std::string_view scheme : {"rtmp://", "rtsp://", "http://"})
        if (url.substr(0, scheme.size()) == scheme)
            return true;
    return false;
}

int DecimalValue(std::string_view text, bool* digits)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (digits)
        *digits = i < text.size() && text[i] >= '0' && text[i] <= '9';
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

ConfigStore::KeyValues ChannelWrites(int id, const ChannelRecord& s, const CheckStates& checks)
{
    ConfigStore::KeyValues writes;
    // Texts when not empty, numbers when not 0; the watermark path and the later keys always, so
    // that an emptied one takes the watermark (or the option) off.
    const auto later = [](const char* name) {
        return std::any_of(std::begin(kLaterKeys), std::end(kLaterKeys), [name](const char* k) { return !std::strcmp(k, name); });
    };
    ForEachField(s, [&](const char* name, const auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, int>) {
            if (value != 0 || later(name))
                writes.emplace_back(ChannelKey(id, name), std::to_string(value));
        } else if (!value.empty() || &value == &s.watermarkPath || later(name)) {
            writes.emplace_back(ChannelKey(id, name), value);
        }
    });
    std::size_t slot = 0;
    for (const std::string& address : s.extraPublish)
        if (!address.empty() && slot < kMaxExtraPublish)
            writes.emplace_back(ChannelKey(id, kExtraPublishKeys[slot++]), address);
    for (std::size_t i = 0; i < checks.size(); ++i)
        writes.emplace_back(ChannelKey(id, kCheckKeys[i]), checks[i] ? "1" : "0");
    return writes;
}

bool StoreChannel(const ConfigStore& store, int id, const ChannelRecord& s, const CheckStates& checks)
{
    ConfigStore::KeyValues writes = ChannelWrites(id, s, checks);
    if (s.extraPublishShown || !s.extraPublish.empty())
        for (auto& write : ExtraPublishWrites(store, id, s.extraPublish))
            writes.push_back(std::move(write));
    return store.SetValues(writes);
}

ConfigStore::KeyValues ExtraPublishWrites(const ConfigStore& store, int id, const std::vector<std::string>& extras)
{
    ConfigStore::KeyValues writes;
    std::size_t slot = 0;
    for (const std::string& address : extras)
        if (!address.empty() && slot < kMaxExtraPublish)
            writes.emplace_back(ChannelKey(id, kExtraPublishKeys[slot++]), address);
    // Keys the list no longer fills are emptied; those never written stay absent.
    for (; slot < kMaxExtraPublish; ++slot)
        if (std::string key = ChannelKey(id, kExtraPublishKeys[slot]); !store.GetValue(key).empty())
            writes.emplace_back(std::move(key), "");
    return writes;
}

namespace {
// The stored extra publish addresses of channel id, in key order, without the empty ones.
std::vector<std::string> LoadExtraPublish(const std::function<std::string(const char*)>& text)
{
    std::vector<std::string> extras;
    for (const char* name : kExtraPublishKeys)
        if (std::string address = text(name); !address.empty())
            extras.push_back(std::move(address));
    return extras;
}
}  // namespace

LoadedChannel LoadChannel(const ConfigStore& store, int id)
{
    const auto text = [&](const char* name) { return store.GetValue(ChannelKey(id, name)); };
    LoadedChannel c;
    for (std::size_t i = 0; i < c.checks.size(); ++i)
        c.checks[i] = DecimalValue(text(kCheckKeys[i]));
    ForEachField(c.record, [&](const char* name, auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, int>)
            value = DecimalValue(text(name));
        else
            value = text(name);
    });
    c.record.extraPublish = LoadExtraPublish(text);
    c.state = text(kStateKey);
    c.transCode = text(kTransCodeKey);
    c.deleted = text(kDeletedKey) == "true";
    return c;
}

LoadedChannelText LoadChannelText(const ConfigStore& store, int id)
{
    const auto text = [&](const char* name) { return store.GetValue(ChannelKey(id, name)); };
    LoadedChannelText c;
    for (std::size_t i = 0; i < c.checks.size(); ++i)
        c.checks[i] = text(kCheckKeys[i]);
    ForEachField(c.record, [&](const char* name, std::string& value) { value = text(name); });
    c.record.extraPublish = LoadExtraPublish(text);
    return c;
}

ConfigStore::KeyValues::value_type ChannelStateWrite(int id, const std::string& state)
{
    return {ChannelKey(id, kStateKey), state};
}

ConfigStore::KeyValues::value_type ChannelTransCodeWrite(int id, const std::string& mark)
{
    return {ChannelKey(id, kTransCodeKey), mark};
}

ConfigStore::KeyValues::value_type ChannelDeletedWrite(int id, bool deleted)
{
    return {ChannelKey(id, kDeletedKey), deleted ? "true" : "false"};
}

ChannelListState LoadListState(const ConfigStore& store, int id)
{
    return {store.GetValue(ChannelKey(id, "Name")), store.GetValue(ChannelKey(id, kStateKey)),
            store.GetValue(ChannelKey(id, kDeletedKey)) == "true"};
}

// The scan first reads the kept document; only when a channel has to move is the file read
// again under the cache's lock, scanned once more with the copies written into the document,
// and replaced in one write, whose end state is that of the copies made one after the other.
std::vector<ScannedChannel> ScanAndRenumber(const ConfigStore& store)
{
    // Start-up is the one moment when no write of ours can be under way.
    AtomicFile::RemoveStaleTemporaries(store.IniPath());

    bool moved = false, ok = true;
    std::vector<ScannedChannel> rows;
    std::weak_ptr<const IniFile> scanned;
    {
        const std::shared_ptr<const IniFile> doc = IniCache::Load(store.IniPath());
        rows = ScanDocument(*doc, nullptr, moved, ok);
        scanned = doc;  // not kept alive: the cache edits a document nobody else holds in place
    }
    if (!moved) {
        ReleaseLargeParse(store);
        return rows;
    }
    const bool committed = IniCache::Update(store.IniPath(), [&rows, &scanned](IniFile& doc) {
        bool written = true;
        if (!scanned.expired() && scanned.lock().get() == &doc) {
            // The very document just scanned: only the copies remain to be made.
            std::size_t moves = 0;
            for (const ScannedChannel& c : rows)
                moves += c.oldId != c.id ? 1 : 0;
            doc.ReserveEdits(moves * kCopiedKeys);
            for (const ScannedChannel& c : rows)
                if (c.oldId != c.id)
                    written = CopyInto(doc, c.oldId, c.id) && written;
            return written;
        }
        bool movedNow = false;
        rows = ScanDocument(doc, &doc, movedNow, written);  // the file changed in between
        return movedNow && written;
    });
    // When the moves cannot be saved, every channel stays readable under its old id.
    if (!committed)
        for (ScannedChannel& c : rows)
            c.id = c.oldId;
    ReleaseLargeParse(store);
    return rows;
}

int FirstFreeChannelId(const ConfigStore& store, int from)
{
    int id = std::max(from, 0);
    for (const int taken : ChannelIds(*IniCache::Load(store.IniPath()))) {
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

std::unordered_map<int, int> ChannelKeyCounts(const ConfigStore& store)
{
    std::unordered_map<int, int> counts;
    IniCache::Load(store.IniPath())->ForEachKey(kConfigSection, [&counts](std::string_view key) {
        if (const int id = KeyChannelId(key); id >= 0)
            ++counts[id];
    });
    return counts;
}

std::optional<ScannedChannel> ReadListedChannel(const ConfigStore& store, int id)
{
    if (store.GetValue(ChannelKey(id, kDeletedKey)) == "true")
        return std::nullopt;
    ScannedChannel c = ReadListed([&store](const std::string& key) { return store.GetValue(key); }, id);
    if (c.name.empty())
        return std::nullopt;
    return c;
}

std::vector<ScannedChannel> ListStoredChannels(const ConfigStore& store)
{
    std::vector<ScannedChannel> channels;
    for (int id : ChannelIds(*IniCache::Load(store.IniPath())))
        if (std::optional<ScannedChannel> c = ReadListedChannel(store, id))
            channels.push_back(std::move(*c));
    return channels;
}

std::vector<std::string> ChannelsPublishingTo(const ConfigStore& store, const std::string& publishUrl, int exceptId)
{
    std::vector<std::string> names;
    for (const ScannedChannel& c : ListStoredChannels(store))
        if (c.id != exceptId && !publishUrl.empty() && store.GetValue(ChannelKey(c.id, "Adress")) == publishUrl)
            names.push_back(c.name);
    return names;
}
