#pragma once
#include "settings/ChannelRecord.h"
#include "settings/ConfigStore.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Channel-level operations on config.ini: the keys of a channel's values, loading and storing a
// channel, its state word, re-encode mark and deletion mark, copying a channel to another id and
// the start-up scan with renumbering. No other part of the program spells a channel's keys:
// the lint of config.ini reads them here.

// A channel's keys besides those of its record: the check states (in CheckStates' order), the
// state word, the re-encode mark and the deletion mark.
inline constexpr const char* kCheckKeys[] = {"checkstate", "checkstate1", "checkstate2", "checkstate3", "checkstate4"};
inline constexpr char kStateKey[] = "strAVState";
inline constexpr char kTransCodeKey[] = "VdTransCode";
inline constexpr char kDeletedKey[] = "ISDelete";

// The one table of a record's members and their keys, in the order storing a channel writes them.
// visit(key, member) for each; Record is a ChannelRecord or a ChannelRecordText, const or not.
template <class Record, class Visit>
void ForEachField(Record& r, Visit&& visit)
{
    visit("Name", r.name);
    visit("SignalName", r.sourceUrl);
    visit("Adress", r.publishUrl);
    visit("StreamName", r.streamName);
    visit("VdBitRate", r.videoBitrate);
    visit("VdRameRate", r.frameRate);
    visit("VdWidth", r.width);
    visit("VdHeight", r.height);
    visit("VdProFile", r.profile);
    visit("AdChannel", r.audioChannels);
    visit("AdSmpLinGrate", r.sampleRate);
    visit("AdBitRate", r.audioBitrate);
    visit("strFilePath", r.watermarkPath);
    visit("StrPucSeatPos", r.watermarkPlacement);
    visit("strValue", r.watermarkOffsetX);
    visit("strValue1", r.watermarkOffsetY);
    visit("strPucSeat", r.watermarkCorner);
    visit("AdToAAC", r.audioToAac);
    visit("AdSilence", r.silentAudio);
    visit("VdKeyFrameSec", r.keyframeSeconds);
    visit("StandIn", r.standIn);
    visit("StandInPng", r.standInPicture);
}
// The keys that came after the historical ones: ChannelWrites writes them whatever their value,
// so that an option turned off is stored off, and a move copies them only where they are.
inline constexpr const char* kLaterKeys[] = {"AdToAAC", "AdSilence", "VdKeyFrameSec", "StandIn", "StandInPng"};
// The keys of a record's extraPublish, in its order. A channel without further addresses holds
// none of them; a list is stored from the first key on, without gaps.
inline constexpr const char* kExtraPublishKeys[] = {"Adress2", "Adress3", "Adress4", "Adress5"};
inline constexpr std::size_t kMaxExtraPublish = std::size(kExtraPublishKeys);

// The stored state words of a channel.
inline constexpr char kStateRunning[] = "运行中";
inline constexpr char kStatePaused[] = "暂停中";
// Whether a stored state word asks for the channel to run: the start-up resumes such channels.
inline bool IsStoredRunning(const std::string& state) { return state.find(kStateRunning) != std::string::npos; }

// The id of a channel key ("12+..." -> 12) as the key formats write it: decimal digits
// without sign or leading zero, then '+'. -1 for any other key.
int KeyChannelId(std::string_view key);

// "%d+<name>" for the channel id.
std::string ChannelKey(int id, const char* name);

// The platform's lenient decimal conversion: leading blanks, optional sign, leading
// digits; anything else gives 0. Clamped to the int range. digits, when given, says whether
// there were any.
int DecimalValue(std::string_view text, bool* digits = nullptr);

// Whether the file asks for RTSP sources to be pulled over TCP (kRtspTcpKey): what the
// channels' children and every source check use.
inline constexpr char kRtspTcpKey[] = "m_bRTSPuseTCP";
bool StoredRtspTcp(const ConfigStore& store);

// Whether a channel's source address has one of the schemes a channel may pull: rtmp://,
// rtsp:// or http://, in lower case.
bool IsSourceScheme(std::string_view url);

// Channel id as the file holds it.
struct LoadedChannel {
    ChannelRecord record;   // numbers by DecimalValue
    CheckStates checks{};   // likewise
    std::string state;      // state word
    std::string transCode;  // re-encode mark, as the list shows it
    bool deleted = false;   // marked deleted
};
LoadedChannel LoadChannel(const ConfigStore& store, int id);
// Channel id's values and check states as stored text: what the wizard's pages show.
struct LoadedChannelText {
    ChannelRecordText record;
    std::array<std::string, 5> checks;
};
LoadedChannelText LoadChannelText(const ConfigStore& store, int id);

// The writes of storing a channel, in their order and by their rules (texts when not
// empty, numbers when not 0, the watermark path, kLaterKeys and the check states always;
// the extra publish addresses one key each, from kExtraPublishKeys' first on).
ConfigStore::KeyValues ChannelWrites(int id, const ChannelRecord& s, const CheckStates& checks);

// Stores the channel in one atomic replace. Returns whether the file was written. A record
// with extra publish addresses, or with extraPublishShown, replaces the stored list (keys it no
// longer fills are emptied); any other leaves the stored list alone, as an empty text leaves its
// key: a path that does not carry the list keeps it when it stores an edit.
bool StoreChannel(const ConfigStore& store, int id, const ChannelRecord& s, const CheckStates& checks);
// The writes that make channel id's stored extra publish addresses exactly extras (none
// included): each address under its key, and an empty value where a key held one before.
ConfigStore::KeyValues ExtraPublishWrites(const ConfigStore& store, int id, const std::vector<std::string>& extras);

// The write of channel id's state word (kStateRunning, kStatePaused), of its re-encode mark
// ("是", "否") and of its deletion mark (or of its mark as not deleted).
ConfigStore::KeyValues::value_type ChannelStateWrite(int id, const std::string& state);
ConfigStore::KeyValues::value_type ChannelTransCodeWrite(int id, const std::string& mark);
ConfigStore::KeyValues::value_type ChannelDeletedWrite(int id, bool deleted = true);
// What a reload of the file asks of channel id, without the rest: name, state word, deletion mark.
struct ChannelListState {
    std::string name;
    std::string state;
    bool deleted = false;
};
ChannelListState LoadListState(const ConfigStore& store, int id);

// The smallest id at or above max(from, 0) under which the file holds no key: where a new
// channel can be stored without touching another's keys. INT_MAX when there is none.
int FirstFreeChannelId(const ConfigStore& store, int from);

// A channel listed by the start-up scan.
struct ScannedChannel {
    int oldId = 0;        // where it was stored before the scan
    int row = 0;          // its row, and its id after the scan
    int id = 0;           // where its keys are now: row, or oldId when it could not move or the
                          // moves could not be saved
    std::string name;
    std::string state;      // state word
    std::string transCode;  // re-encode mark
    std::string width;      // video width as stored text
    std::string height;     // video height as stored text
    std::string publishUrl; // as stored
    std::string sourceUrl;  // as stored
};

// Removes temporary files that an interrupted write left beside config.ini (see
// AtomicFile::RemoveStaleTemporaries), then visits every id that has keys in the file, in
// increasing order, whatever "nextId" says: a damaged or lagging one (missing, negative, not a
// number) hides no channel. Skips deleted and nameless ids, and moves each listed channel to the
// id equal to its row, unless that id holds keys that are not marked deleted (nor left by a
// channel moved in this scan): such a channel stays at its id. All moves are committed as one atomic replace of the file; if that fails,
// nothing moves and each channel's id stays its oldId. "nextId" is not written. Returns the
// listed channels in row order.
std::vector<ScannedChannel> ScanAndRenumber(const ConfigStore& store);
// Channel id as the scan would list it where it is (row and id are its id), without moving it;
// none when it is deleted or has no name.
std::optional<ScannedChannel> ReadListedChannel(const ConfigStore& store, int id);

// Every channel the scan would list, where it is stored now, by increasing id; nothing moves.
std::vector<ScannedChannel> ListStoredChannels(const ConfigStore& store);
// The names of the listed channels other than exceptId that publish to publishUrl: two
// publishers of one stream name push each other off the server.
std::vector<std::string> ChannelsPublishingTo(const ConfigStore& store, const std::string& publishUrl, int exceptId);

// How many keys each channel id holds in the file (ids without keys are absent).
std::unordered_map<int, int> ChannelKeyCounts(const ConfigStore& store);
