#pragma once
#include "settings/ChannelSettings.h"
#include "settings/ConfigStore.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Channel-level operations on config.ini: key names, storing a channel, deletion marks,
// copying a channel to another id and the start-up scan with renumbering.

// The stored state words of a channel ("%d+strAVState").
inline constexpr char kStateRunning[] = "运行中";
inline constexpr char kStatePaused[] = "暂停中";
// Whether a stored state word asks for the channel to run: the start-up resumes such channels.
inline bool IsStoredRunning(const std::string& state) { return state.find(kStateRunning) != std::string::npos; }

// The id of a channel key ("12+Name" -> 12) as the key formats write it: decimal digits
// without sign or leading zero, then '+'. -1 for any other key.
int KeyChannelId(std::string_view key);

// "%d+<name>" for the channel id.
std::string ChannelKey(int id, const char* name);

// The platform's lenient decimal conversion: leading blanks, optional sign, leading
// digits; anything else gives 0. Clamped to the int range. digits, when given, says whether
// there were any.
int DecimalValue(std::string_view text, bool* digits = nullptr);

// Whether the file asks for RTSP sources to be pulled over TCP ("m_bRTSPuseTCP"): what the
// channels' children and every source check use.
bool StoredRtspTcp(const ConfigStore& store);

// Whether a channel's source address has one of the schemes a channel may pull: rtmp://,
// rtsp:// or http://, in lower case.
bool IsSourceScheme(std::string_view url);

// The writes of storing a channel, in their order and by their rules (texts when not
// empty, numbers when not 0, strFilePath and the check states always).
ConfigStore::KeyValues ChannelWrites(int id, const ChannelSettings& s, const CheckStates& checks);

// Stores the channel in one atomic replace. Returns whether the file was written.
bool StoreChannel(const ConfigStore& store, int id, const ChannelSettings& s, const CheckStates& checks);


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
    std::string state;      // "%d+strAVState"
    std::string transCode;  // "%d+VdTransCode"
    std::string width;      // "%d+VdWidth" as stored text
    std::string height;     // "%d+VdHeight"
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
// The names of the listed channels other than exceptId that publish to adress: two publishers
// of one stream name push each other off the server.
std::vector<std::string> ChannelsPublishingTo(const ConfigStore& store, const std::string& adress, int exceptId);

// How many keys each channel id holds in the file (ids without keys are absent).
std::unordered_map<int, int> ChannelKeyCounts(const ConfigStore& store);
