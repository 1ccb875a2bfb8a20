#include "relay/RelaySession.h"

#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"

#include <set>
#include <unordered_map>

ReloadAction DecideReload(const ReloadRow& row, const ReloadStored& stored)
{
    using Says = ReloadStored::Says;
    switch (stored.m_says) {
    case Says::Nothing:
        return ReloadAction::Keep;
    case Says::Deleted:
        return row.m_bDeleted ? ReloadAction::Keep : ReloadAction::Delete;
    case Says::Paused:
        return row.m_bActive && !row.m_bDeleted ? ReloadAction::Stop : ReloadAction::Keep;
    case Says::Running:
        break;
    }
    if (row.m_bDeleted || !row.m_bActive)
        return ReloadAction::Start;
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
            m_engine.Enqueue(row);
            ++queued;
        }
    }
    return queued;
}

bool RelaySession::StartNext()
{
    if (m_bStoreStateOnStart)
        return m_engine.AutoRunTick();
    const int row = m_engine.TakeQueued();
    if (row < 0)
        return false;
    m_engine.LaunchStored(row);
    return true;
}

int RelaySession::Reload()
{
    const ConfigStore store(m_engine.m_strAppDir);
    m_engine.Log().Write("重新读取配置 " + store.IniPath());
    // A file that cannot be read, or one caught half-written, says nothing about the channels:
    // acting on it would stop every one of them.
    if (const std::string problem = store.ReadProblem(); !problem.empty()) {
        m_engine.Log().Write("配置未重新加载: " + problem + "，所有信号保持不变");
        return 0;
    }
    ReadSwitches(store);
    const std::unordered_map<int, int> keyCounts = ChannelKeyCounts(store);

    struct Decided {
        int row;
        ReloadAction action;
    };
    std::vector<Decided> decided;
    int active = 0, stopping = 0;
    std::set<int> known;
    for (int row = 0; row < m_engine.RowCount(); ++row) {
        RowTag& tag = *m_engine.Tag(row);
        RowHealth& health = m_engine.m_health[row];
        known.insert(tag.m_nId);
        const auto key = [&tag](const char* name) { return ChannelKey(tag.m_nId, name); };
        const auto found = keyCounts.find(tag.m_nId);
        const int keys = found == keyCounts.end() ? 0 : found->second;
        ReloadRow now;
        now.m_bDeleted = health.m_bDeleted;
        now.m_bActive = tag.m_bStopped == 0 || m_engine.IsQueued(row);
        if (now.m_bActive && !now.m_bDeleted)
            ++active;
        ReloadStored stored;
        const std::string name = store.GetValue(key("Name"));
        if (keys == 0) {
            if (!health.m_bMissingLogged)
                m_engine.LogRow(row, "配置中找不到该信号: 保持不变");
            health.m_bMissingLogged = true;
        } else {
            health.m_bMissingLogged = false;
            const std::string state = store.GetValue(key("strAVState"));
            // Without its name or its state word (the last keys of a stored channel) the
            // channel was cut short or is still being written: it says nothing yet.
            stored.m_says = store.GetValue(key("ISDelete")) == "true"        ? ReloadStored::Says::Deleted
                            : name.empty()                                    ? ReloadStored::Says::Nothing
                            : IsStoredRunning(state)                          ? ReloadStored::Says::Running
                            : state.find(kStatePaused) != std::string::npos ? ReloadStored::Says::Paused
                                                                              : ReloadStored::Says::Nothing;
            if (now.m_bActive && m_engine.m_workers.count(tag.m_nId) != 0)
                now.m_strLaunchedLine = health.m_strLaunchedLine;
            if (stored.m_says == ReloadStored::Says::Running && !now.m_strLaunchedLine.empty())
                stored.m_strLine = m_engine.StoredLine(tag.m_nId);
            if (stored.m_says != ReloadStored::Says::Deleted && !name.empty() && name != health.m_strName) {
                m_engine.SetRowName(row, name);
                m_view.SetCellText(row, kColName, name);
            }
        }
        const ReloadAction action = DecideReload(now, stored);
        if (action != ReloadAction::Keep)
            decided.push_back({row, action});
        if (now.m_bActive && !now.m_bDeleted && (action == ReloadAction::Stop || action == ReloadAction::Delete))
            ++stopping;
    }
    if (stopping * 2 > active)
        m_engine.Log().Write("警告: 本次重新加载停止 " + std::to_string(stopping) + " 个信号（共 " +
                             std::to_string(active) + " 个在运行）");

    for (const Decided& d : decided) {
        RowHealth& health = m_engine.m_health[d.row];
        switch (d.action) {
        case ReloadAction::Keep:
            break;
        case ReloadAction::Start:
            if (health.m_bDeleted) {
                health.m_bDeleted = false;
                m_view.SetCellText(d.row, kColState, kStateRunning);
            }
            m_engine.Enqueue(d.row);
            m_engine.LogRow(d.row, "配置已改为运行中: 排队启动");
            break;
        case ReloadAction::Stop:
            m_engine.HaltChannel(d.row, kStatePaused, "配置已改为暂停中: 已停止");
            break;
        case ReloadAction::Delete:
            m_engine.HaltChannel(d.row, "已删除，重启生效", "配置中已删除: 已停止");
            health.m_bDeleted = true;
            break;
        case ReloadAction::Restart:
            m_engine.HaltChannel(d.row, kStateRunning, "配置已修改: 重新启动");
            ++health.m_nRestarts;
            m_engine.LaunchStored(d.row);
            break;
        }
    }
    int changes = static_cast<int>(decided.size());

    // Channels added under new ids keep them: renumbering a running program's ids would move
    // the keys of channels whose children are running. The next start-up renumbers them.
    std::set<int> added;
    for (const auto& [id, count] : keyCounts)
        if (known.count(id) == 0)
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
            m_engine.Enqueue(row);
        m_engine.LogRow(row, start ? "新信号: 排队启动" : "新信号");
        ++changes;
    }
    return changes;
}
