#include "engine/ChannelEdits.h"

#include "ffmpeg/ChannelRules.h"
#include "ffmpeg/CommandBuilder.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"

#include <climits>

namespace {
const char* const kIdsUsedUp = "信号编号已用尽，无法导入新信号!";

// A new channel's row as the list first shows it: name, state word, re-encode mark and size.
RowCells NewRowCells(const ChannelRecord& r, const std::string& state, const std::string& mark, const char* bitrate)
{
    return { r.name, bitrate, state, mark, std::to_string(r.width) + "*" + std::to_string(r.height), {} };
}
}

AddedChannel AppendNewChannel(RelaySession& session, RelayEngine& engine, int& nextId, const ChannelRecord& values,
    const CheckStates& checks, bool run)
{
    const ConfigStore store(engine.AppDir());
    // A damaged nextId (negative, or pointing at ids that still hold keys) must not make an
    // import overwrite a stored channel or use an id the start-up scan never visits.
    nextId = FirstFreeChannelId(store, nextId);
    if (nextId == INT_MAX)
        return { -1, -1, kIdsUsedUp, {} };
    const int id = nextId++;
    // The channel, its state word and re-encoding mark and the next id go into one replace of
    // the file, before the child starts. The mark follows the choice of video re-encoding, also
    // for a line the launch refuses.
    const std::string mark = BuildCommandLine(checks, values).reencodesVideo ? "是" : "否";
    const char* state = run ? kStateRunning : kStatePaused;
    ConfigStore::KeyValues writes = ChannelWrites(id, values, checks);
    writes.push_back(ChannelStateWrite(id, state));
    writes.push_back(ChannelTransCodeWrite(id, mark));
    writes.emplace_back("nextId", std::to_string(nextId));
    store.SetValues(writes);

    AddedChannel added { id, session.AppendRow(id, NewRowCells(values, state, mark, " "), !run), {}, {} };
    engine.ShowAddresses(added.row, values.sourceUrl, values.publishUrl);
    if (run)
        added.refusal = engine.LaunchFromWizard(added.row, values, checks).m_strRefusal;
    return added;
}

AddedChannel AddChannel(RelaySession& session, RelayEngine& engine, int& nextId, const ChannelRecord& values,
    const CheckStates& checks, bool run)
{
    if (std::string problem = ChannelRules::ChannelProblem(values, checks); !problem.empty())
        return { -1, -1, std::move(problem), {} };
    return AppendNewChannel(session, engine, nextId, values, checks, run);
}

std::string EditChannel(RelayEngine& engine, int row, const ChannelRecord& values, const CheckStates& checks, int* applied)
{
    if (std::string problem = ChannelRules::ChannelProblem(values, checks); !problem.empty())
        return problem;
    StoreChannel(ConfigStore(engine.AppDir()), engine.View(row).id, values, checks);
    if (!values.name.empty())
        engine.Rename(row, values.name);
    engine.ShowAddresses(row, values.sourceUrl, values.publishUrl);
    const int changed = engine.ApplyPublishEdits(row);
    if (applied)
        *applied = changed;
    return {};
}

int AppendImported(RelaySession& session, RelayEngine& engine, const ChannelImport::Plan& plan)
{
    int queued = 0;
    for (const ChannelImport::Row& row : plan.rows) {
        if (row.id < 0)
            continue;
        const ChannelRecord& r = row.record;
        const int at = session.AppendRow(row.id, NewRowCells(r, row.state, row.transCode, ""), true);
        engine.ShowAddresses(at, r.sourceUrl, r.publishUrl);
        if (IsStoredRunning(row.state)) {
            engine.Enqueue(at);
            ++queued;
        }
    }
    return queued;
}
