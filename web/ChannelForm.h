#pragma once
#include "settings/ChannelRecord.h"

#include <map>
#include <optional>
#include <string>

class ConfigStore;

// The web console's channel form: a channel's values as the page shows and sends them
// (form-encoded fields), with every password shown and sent back as "***". Pure apart from
// reading config.ini; any thread.
namespace ChannelForm {

using Fields = std::map<std::string, std::string>;

// Channel id's stored values as a JSON object of the form's fields, its addresses' passwords
// (and every remembered secret) as "***"; "extra_publish" is an array of the extra addresses.
std::string SettingsJson(const ConfigStore& store, int id);
// A new channel's values as the wizard opens them, in the same form (id -1).
std::string NewChannelJson();

// The values the form asks for: fields over a base record (channel `base` as stored, or a new
// channel's values when base < 0). An address sent back as its masked form keeps the stored
// address of channel `from` (the edited or copied one); problem is set (a Chinese sentence) when
// an address still holds "***" but differs from it otherwise. The field "extra_publish", when
// sent, holds the extra publish addresses one a line and replaces the stored list (shown, so an
// empty field removes them); each sent back masked keeps the stored address it stands for.
// Without the field the base record's list is kept.
struct Parsed {
    ChannelRecord values;
    CheckStates checks {};
    std::string problem;
};
Parsed Parse(const ConfigStore& store, const Fields& fields, int base, int from);

// The source address of a check: the field "source", or channel from's stored one when it is
// sent back masked; nullopt with problem set as Parse does.
std::optional<std::string> SourceOf(const ConfigStore& store, const Fields& fields, std::string& problem);

// The id named by field name, or -1.
int IdField(const Fields& fields, const char* name);

} // namespace ChannelForm
