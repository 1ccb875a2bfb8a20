#pragma once
#include "engine/RelayEngine.h"
#include "engine/RelaySession.h"
#include "ffmpeg/ChannelImport.h"

#include <string>

// Adding and editing a channel from outside the wizard's own flow, shared by the window and the
// service (the window's import, the web console): the stored record, the row and its start as
// the window's import and 编辑 make them. Owner thread only.

// Where a new channel went.
struct AddedChannel {
    int id = -1;
    int row = -1;
    std::string problem; // why nothing was stored (a rule's sentence); empty when it was
    std::string refusal; // why the started channel's child did not start
};

// Stores a channel the operator has already confirmed under the first free id at or above
// nextId, with its state word, re-encode mark and the next id in one replace of config.ini,
// appends its row and, with run, starts it as the wizard launches it. nextId is advanced.
AddedChannel AppendNewChannel(RelaySession& session, RelayEngine& engine, int& nextId, const ChannelRecord& values,
    const CheckStates& checks, bool run = true);
// As AppendNewChannel after the wizard's rules (ChannelRules::ChannelProblem): a channel they
// refuse is not stored and its sentence is returned.
AddedChannel AddChannel(RelaySession& session, RelayEngine& engine, int& nextId, const ChannelRecord& values,
    const CheckStates& checks, bool run = true);
// Stores row's channel with new values in one replace and renames the row; a running child keeps
// running with what it was started with, as after the window's 编辑, but for the publish
// addresses of a channel with several, which change at once (*applied: how many). The rule's
// sentence when refused (nothing stored), else empty.
std::string EditChannel(RelayEngine& engine, int row, const ChannelRecord& values, const CheckStates& checks,
    int* applied = nullptr);
// Appends a row for each channel a CSV import stored; those stored running join the start queue
// and start one after the other, like the channels of the start-up. Returns how many queued.
int AppendImported(RelaySession& session, RelayEngine& engine, const ChannelImport::Plan& plan);
