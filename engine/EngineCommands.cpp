// The operator's commands on rows: pause, delete, and the bulk "全部运行" and "全部暂停",
// each storing its words in config.ini before it acts; and what the operator is told when
// the words could not be saved.
#include "engine/RelayEngine.h"

#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"

void RelayEngine::PauseChannel(int row)
{
    if (const ChannelRow* r = Row(row)) {
        Store({ChannelStateWrite(r->m_tag.m_nId, kStatePaused)});
        HaltChannel(row, RowEvent::Kind::Paused, "已暂停");
    }
}

void RelayEngine::DeleteChannel(int row)
{
    ChannelRow* r = Row(row);
    if (!r)
        return;
    StopChannel(row);
    Store({ChannelDeletedWrite(r->m_tag.m_nId)});
    // The row stays: it can still be run until the program ends, and its other cells stay.
    r->m_bDeleted = true;
    Tell(row, RowEvent::Kind::Deleted);
    LogRow(row, "已删除");
}

void RelayEngine::HaltChannel(int row, RowEvent::Kind kind, const std::string& event)
{
    ChannelRow* r = Row(row);
    if (!r)
        return;
    Tell(row, kind);
    StopChannel(row);
    r->m_tag.m_bStopped = 1;
    if (kind == RowEvent::Kind::Paused)
        r->m_want = Want::Pause;
    r->m_bDeleted = r->m_bDeleted || kind == RowEvent::Kind::Deleted;
    LogRow(row, event);
}

int RelayEngine::RunAll()
{
    if (m_bShutDown)
        return 0;
    ConfigStore::KeyValues writes;
    std::vector<int> rows;
    for (int row = 0; row < RowCount(); ++row) {
        ChannelRow& r = *Row(row);
        if (r.m_bDeleted || r.m_bRunAllQueued)
            continue;
        if (r.m_phase == Phase::GivenUp && r.m_tag.m_bStopped == 0 && !r.m_worker) {
            // Revived with a fresh count ("暂停" then "运行" keeps the count).
            r.m_tag.m_bStopped = 1;
            r.m_phase = Phase::Idle;
            r.m_nFailures = 0;
        }
        if (r.m_tag.m_bStopped != 1)
            continue;
        writes.push_back(ChannelStateWrite(r.m_tag.m_nId, kStateRunning));
        rows.push_back(row);
    }
    Store(writes);
    for (int row : rows) {
        ChannelRow& r = *Row(row);
        r.m_want = Want::Run, r.m_phase = Phase::Queued;
        Tell(row, RowEvent::Kind::Starting);
        r.m_bRunAllQueued = true;
        m_runAllQueue.push_back(row);
    }
    // The first at once, the others one a turn (Advance).
    RunAllTick();
    m_nextRunAllAt = m_clock.SteadyNs() + RunAllPeriodNs();
    return static_cast<int>(rows.size());
}

bool RelayEngine::RunAllTick()
{
    // A row started or paused by hand meanwhile is skipped: its tag or its flag says so.
    for (int row; (row = TakeFlagged(m_runAllQueue, &ChannelRow::m_bRunAllQueued)) >= 0;) {
        if (Row(row)->m_tag.m_bStopped == 1 && !Row(row)->m_bDeleted) {
            LaunchRow(row);
            break;
        }
    }
    return !m_runAllQueue.empty();
}

int RelayEngine::PauseAll()
{
    ConfigStore::KeyValues writes;
    std::vector<int> rows;
    for (int row = 0; row < RowCount(); ++row) {
        const ChannelRow& r = *Row(row);
        // A row that gave up is left as it is, unless it still publishes its stand-in (StandIn=2).
        if (r.m_phase != Phase::Idle && (r.m_phase != Phase::GivenUp || r.m_standInSince != 0)) {
            writes.push_back(ChannelStateWrite(r.m_tag.m_nId, kStatePaused));
            rows.push_back(row);
        }
    }
    Store(writes);
    for (int row : rows)
        HaltChannel(row, RowEvent::Kind::Paused, "已暂停");
    return static_cast<int>(rows.size());
}

void RelayEngine::Store(const ConfigStore::KeyValues& writes)
{
    if (!writes.empty())
        ConfigStore(m_strAppDir).SetValues(writes);
    NoteSaving();
}

std::string RelayEngine::Unsaved() const
{
    return ConfigStore(m_strAppDir).UnsavedWarning();
}

void RelayEngine::NoteSaving()
{
    const std::string warning = Unsaved();
    if (warning.empty() == !m_bUnsavedTold)
        return;
    m_bUnsavedTold = !warning.empty();
    if (m_bUnsavedTold) {
        m_log->Write(warning, StatusLog::kWarning);
        m_view.ShowLoggedWarning(warning);
    } else {
        m_log->Write("此前未能保存的更改已写入 " + ConfigStore(m_strAppDir).IniPath());
    }
}
