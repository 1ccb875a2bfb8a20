#include "relay/RelaySession.h"

#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"

#include <set>

ReloadAction DecideReload(const ReloadRow& row, const ReloadStored& stored)
{
    if (row.m_bDeleted)
        return ReloadAction::Keep;
    const bool wanted = stored.m_bPresent && stored.m_bRunning;
    if (!row.m_bActive)
        return wanted ? ReloadAction::Start : ReloadAction::Keep;
    if (!wanted)
        return ReloadAction::Stop;
    // A row that is only queued, or whose child is between attempts, has no line yet: it runs
    // the stored settings at its next launch anyway.
    if (!row.m_strLaunchedLine.empty() && row.m_strLaunchedLine != stored.m_strLine)
        return ReloadAction::Restart;
    return ReloadAction::Keep;
}

GlobalFlags RelaySession::LoadFlags()
{
    const ConfigStore store(m_engine.m_strAppDir);
    GlobalFlags flags;
    flags.m_nNextId = DecimalValue(store.GetValue("nextId"));
    flags.m_bAutoRun = DecimalValue(store.GetValue("m_bAutoRun")) > 0;
    ReadSwitches(store);
    return flags;
}

void RelaySession::ReadSwitches(const ConfigStore& store)
{
    m_engine.m_bRTSPuseTCP = DecimalValue(store.GetValue("m_bRTSPuseTCP")) > 0;
    m_engine.SetKeepRetrying(DecimalValue(store.GetValue("m_bKeepRetrying")) > 0);
    m_engine.m_nStallMs = RelayEngine::StallTimeoutMs(store.GetValue("stallTimeout"));
    m_engine.Log().Write("无数据超时 " + (m_engine.m_nStallMs > 0 ? std::to_string(m_engine.m_nStallMs / 1000) + "秒"
                                                                  : std::string("关闭")));
}

int RelaySession::AppendRow(int id, const std::string& name, const std::string& state,
                            const std::string& transCode, const std::string& size)
{
    const int row = m_engine.AddRow(id, true, false, name);
    m_view.InsertRow(row, name);
    m_view.SetCellText(row, kColState, state);
    m_view.SetCellText(row, kColTransCode, transCode);
    m_view.SetCellText(row, kColSize, size);
    return row;
}

int RelaySession::LoadChannels(bool startRunning)
{
    int queued = 0;
    // The scan moves every listed channel to the id equal to its row.
    for (const ScannedChannel& channel : ScanAndRenumber(ConfigStore(m_engine.m_strAppDir))) {
        const int row = AppendRow(channel.id, channel.name, channel.state, channel.transCode,
                                  channel.width + "*" + channel.height);
        if (startRunning && IsStoredRunning(channel.state)) {
            m_engine.m_autoRunQueue.emplace_back(m_engine.Tag(row), row);
            ++queued;
        }
    }
    return queued;
}

bool RelaySession::StartNext()
{
    if (m_bStoreStateOnStart)
        return m_engine.AutoRunTick();
    if (m_engine.m_autoRunQueue.empty())
        return false;
    const int row = m_engine.m_autoRunQueue.front().second;
    m_engine.m_autoRunQueue.pop_front();
    m_engine.LaunchStored(row);
    return true;
}

int RelaySession::Reload()
{
    const ConfigStore store(m_engine.m_strAppDir);
    m_engine.Log().Write("重新读取配置 " + store.IniPath());
    ReadSwitches(store);

    int changes = 0;
    std::set<int> known;
    for (int row = 0; row < m_engine.RowCount(); ++row) {
        RowTag& tag = *m_engine.Tag(row);
        RowHealth& health = m_engine.m_health[row];
        known.insert(tag.m_nId);
        const auto key = [&tag](const char* name) { return ChannelKey(tag.m_nId, name); };
        ReloadStored stored;
        const std::string name = store.GetValue(key("Name"));
        stored.m_bPresent = !name.empty() && store.GetValue(key("ISDelete")) != "true";
        stored.m_bRunning = IsStoredRunning(store.GetValue(key("strAVState")));
        ReloadRow now;
        now.m_bDeleted = health.m_bDeleted;
        now.m_bActive = tag.m_bStopped == 0 || m_engine.IsQueued(row);
        if (now.m_bActive && m_engine.m_workers.count(tag.m_nId) != 0)
            now.m_strLaunchedLine = health.m_strLaunchedLine;
        if (stored.m_bPresent && stored.m_bRunning && !now.m_strLaunchedLine.empty())
            stored.m_strLine = m_engine.StoredLine(tag.m_nId);
        if (stored.m_bPresent && name != health.m_strName) {
            m_engine.SetRowName(row, name);
            m_view.SetCellText(row, kColName, name);
        }
        switch (DecideReload(now, stored)) {
        case ReloadAction::Keep:
            break;
        case ReloadAction::Start:
            m_engine.m_autoRunQueue.emplace_back(&tag, row);
            m_engine.LogRow(row, "配置已改为运行中: 排队启动");
            ++changes;
            break;
        case ReloadAction::Stop:
            if (!stored.m_bPresent) {
                m_engine.HaltChannel(row, "已删除，重启生效", "配置中已删除: 已停止");
                health.m_bDeleted = true;
            } else {
                m_engine.HaltChannel(row, kStatePaused, "配置已改为暂停中: 已停止");
            }
            ++changes;
            break;
        case ReloadAction::Restart:
            m_engine.HaltChannel(row, kStateRunning, "配置已修改: 重新启动");
            ++health.m_nRestarts;
            m_engine.LaunchStored(row);
            ++changes;
            break;
        }
    }

    // Channels added under new ids keep them: renumbering a running program's ids would move
    // the keys of channels whose children are running. The next start-up renumbers them.
    std::set<int> added;
    for (const std::string& k : store.Keys())
        if (const int id = KeyChannelId(k); id >= 0 && known.count(id) == 0)
            added.insert(id);
    for (const int id : added) {
        const std::string name = store.GetValue(ChannelKey(id, "Name"));
        if (name.empty() || store.GetValue(ChannelKey(id, "ISDelete")) == "true")
            continue;
        const std::string state = store.GetValue(ChannelKey(id, "strAVState"));
        const int row = AppendRow(id, name, state, store.GetValue(ChannelKey(id, "VdTransCode")),
                                  store.GetValue(ChannelKey(id, "VdWidth")) + "*" +
                                      store.GetValue(ChannelKey(id, "VdHeight")));
        const bool start = IsStoredRunning(state);
        if (start)
            m_engine.m_autoRunQueue.emplace_back(m_engine.Tag(row), row);
        m_engine.LogRow(row, start ? "新信号: 排队启动" : "新信号");
        ++changes;
    }
    return changes;
}
