#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "web/ChannelStatus.h"
#include "web/StatusFormat.h"

// The web console's own form of /status ("/status?since=<revision>"): per channel only what the
// page shows, and for a page that names the revision of its last answer only the fields that
// changed since, so that two hundred steady channels cost a few kilobytes per refresh instead of
// the full answer's tens. Each field of each channel carries the revision at which it last
// changed; a revision is counted when a snapshot that differs from the last one is taken.
// Revisions of a run start above a number taken from the clock at its start, so that a page still
// holding a revision of an earlier run gets everything. Not thread-safe: its owner locks.
class StatusChanges {
public:
    explicit StatusChanges(std::uint64_t first) : m_first(first), m_revision(first) {}

    // Takes the channels of a newer snapshot, in their order.
    void Take(const std::vector<ChannelStatus>& channels);

    // {"revision":…,"full":…,<header>,"now":…,"ids":[every channel, in order],"changes":{<field>:
    // {<id>:<value>,…},…}} with the values changed since `since`; "ids" only when the list changed
    // since. A revision of another run, or one not yet given out, gets all ("full":true).
    std::string Json(std::uint64_t since, const StatusFormat::StatusHeader& header) const;

    std::uint64_t Revision() const { return m_revision; }

    // The page's fields: their keys, and their values as JSON for one channel.
    static constexpr std::size_t kFields = 20;
    static const std::array<const char*, kFields> kKeys;
    static std::array<std::string, kFields> Fields(const ChannelStatus& channel);

private:
    struct Channel {
        int id = 0;
        std::array<std::string, kFields> values;
        std::array<std::uint64_t, kFields> changed{};
    };
    std::uint64_t m_first;
    std::uint64_t m_revision;
    std::uint64_t m_listChanged = 0;   // when a channel last came, went or moved
    std::vector<Channel> m_channels;
};
