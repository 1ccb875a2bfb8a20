#include "engine/RelaySession.h"

#include "ffmpeg/PublishAddress.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigLint.h"
#include "settings/ConfigStore.h"
#include "settings/IniCache.h"

#include <algorithm>
#include <unordered_map>

namespace {

// The global keys of config.ini.
constexpr char kNextIdKey[] = "nextId", kAutoRunKey[] = "m_bAutoRun", kKeepRetryingKey[] = "m_bKeepRetrying",
               kFastRestartKey[] = "m_bFastRestart", kStartIntervalKey[] = "startInterval",
               kStallTimeoutKey[] = "stallTimeout", kStandInKey[] = "standIn";
constexpr std::string_view kGlobalKeys[] = {kNextIdKey,      kAutoRunKey,       kRtspTcpKey,      kKeepRetryingKey,
                                            kFastRestartKey, kStartIntervalKey, kStallTimeoutKey, kStandInKey};

}  // namespace

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
    const ConfigStore store(m_engine.AppDir());
    GlobalFlags flags;
    flags.m_nNextId = DecimalValue(store.GetValue(kNextIdKey));
    flags.m_bAutoRun = DecimalValue(store.GetValue(kAutoRunKey)) > 0;
    ReadSwitches(store);
    return flags;
}

void RelaySession::ReadSwitches(const ConfigStore& store)
{
    m_engine.SetRtspTcp(StoredRtspTcp(store));
    const std::string keep = store.GetValue(kKeepRetryingKey);
    m_engine.SetKeepRetrying(keep.empty() ? m_bKeepRetryingByDefault : DecimalValue(keep) > 0);
    m_engine.Log().Write(std::string("失败后持续重试: ") + (m_engine.Options().m_bKeepRetrying ? "开" : "关") +
                         (keep.empty() ? "（config.ini 未设置，默认）" : "（config.ini 设置）"));
    m_engine.SetFastRestart(DecimalValue(store.GetValue(kFastRestartKey)) > 0);
    m_engine.SetStartIntervalMs(StartIntervalMs(store.GetValue(kStartIntervalKey)));
    if (m_engine.Options().m_bFastRestart || m_engine.Options().m_nStartIntervalMs > 0)
        m_engine.Log().Write(std::string("快速重启: ") + (m_engine.Options().m_bFastRestart ? "开" : "关") + "，启动间隔 " +
                             (m_engine.Options().m_nStartIntervalMs > 0
                                  ? std::to_string(m_engine.Options().m_nStartIntervalMs) + "毫秒"
                                  : std::string("默认")));
    m_engine.SetStandIn(store.GetValue(kStandInKey));
    if (const StandInMode mode = ChooseStandIn("", m_engine.Options().m_strStandIn); mode != StandInMode::Off)
        m_engine.Log().Write(std::string("备用画面（全局）: 开") + (mode == StandInMode::Always ? "，放弃后继续推送" : ""));
    const int stallMs = StallTimeoutMs(store.GetValue(kStallTimeoutKey));
    m_engine.SetStallTimeoutMs(stallMs);
    m_engine.Log().Write("无数据超时 " + (stallMs > 0 ? std::to_string(stallMs / 1000) + "秒" : std::string("关闭")));
}

void RelaySession::Lint(const ConfigStore& store)
{
    std::vector<std::string> findings = LintConfig(*IniCache::Load(store.IniPath()), kGlobalKeys);
    std::set<std::string> now;
    for (std::string& finding : findings) {
        if (!m_lintFindings.contains(finding))
            m_engine.Log().Write("配置警告: " + finding, StatusLog::kWarning);
        now.insert(finding);
    }
    m_lintFindings = std::move(now);
    KeepConfigWarnings(store.IniPath(), std::move(findings));
}

int RelaySession::AppendRow(int id, const RowCells& cells, bool stopped)
{
    return m_engine.AddRow(id, cells, stopped);
}

int RelaySession::AppendListed(const ScannedChannel& channel)
{
    const int row = AppendRow(channel.id, {channel.name, {}, channel.state, channel.transCode, channel.width + "*" + channel.height, {}},
                              true);
    m_engine.ShowAddresses(row, channel.sourceUrl, channel.publishUrl);
    // A stored address no server can take a stream on is said at once, not at its first failure.
    if (const std::string problem = PublishAddressProblem(channel.publishUrl); !problem.empty())
        m_engine.LogRow(row, "警告: " + problem, StatusLog::kWarning);
    return row;
}

int RelaySession::LoadChannels(bool startRunning)
{
    int queued = 0;
    const ConfigStore store(m_engine.AppDir());
    // Linted as the operator wrote it: the scan's moves leave a mistyped key behind.
    Lint(store);
    // The scan moves every listed channel to the id equal to its row where it can.
    for (const ScannedChannel& channel : ScanAndRenumber(store)) {
        const int row = AppendListed(channel);
        if (startRunning && IsStoredRunning(channel.state)) {
            m_engine.Enqueue(row);
            ++queued;
        }
    }
    return queued;
}

int RelaySession::Reload()
{
    const ConfigStore store(m_engine.AppDir());
    m_engine.Log().Write("重新读取配置 " + store.IniPath());
    // A file that cannot be read, or one caught half-written, says nothing about the channels:
    // acting on it would stop every one of them.
    if (const std::string problem = store.ReadProblem(); !problem.empty()) {
        m_engine.Log().Write("配置未重新加载: " + problem + "，所有信号保持不变");
        return 0;
    }
    ReadSwitches(store);
    Lint(store);
    const std::unordered_map<int, int> keyCounts = ChannelKeyCounts(store);

    std::vector<std::pair<int, ReloadAction>> decided;
    int active = 0, stopping = 0;
    for (int row = 0; row < m_engine.RowCount(); ++row) {
        const RowView view = m_engine.View(row);
        ReloadRow now{view.deleted, view.active, {}};
        ReloadStored stored;
        m_engine.SetMissingFromFile(row, keyCounts.count(view.id) == 0);
        if (keyCounts.count(view.id) != 0) {
            const auto [name, state, deleted] = LoadListState(store, view.id);
            // Without its name or its state word (the last keys of a stored channel) the
            // channel was cut short or is still being written: it says nothing yet.
            stored.m_says = deleted                                         ? ReloadStored::Says::Deleted
                            : name.empty()                                  ? ReloadStored::Says::Nothing
                            : IsStoredRunning(state)                        ? ReloadStored::Says::Running
                            : state.find(kStatePaused) != std::string::npos ? ReloadStored::Says::Paused
                                                                            : ReloadStored::Says::Nothing;
            if (view.active)
                now.m_strLaunchedLine = m_engine.LaunchedLine(row);
            if (stored.m_says == ReloadStored::Says::Running && !now.m_strLaunchedLine.empty())
                stored.m_strLine = m_engine.StoredLine(view.id);
            if (stored.m_says != ReloadStored::Says::Deleted && !name.empty())
                m_engine.Rename(row, name);
        }
        const ReloadAction action = DecideReload(now, stored);
        if (action != ReloadAction::Keep)
            decided.emplace_back(row, action);
        else if (stored.m_says == ReloadStored::Says::Running)
            m_engine.ApplyPublishEdits(row);  // only its changed addresses' pushers start again
        if (view.active && !view.deleted) {
            ++active;
            stopping += action == ReloadAction::Stop || action == ReloadAction::Delete;
        }
    }
    if (stopping * 2 > active)
        m_engine.Log().Write("警告: 本次重新加载停止 " + std::to_string(stopping) + " 个信号（共 " +
                             std::to_string(active) + " 个在运行）");

    for (const auto& [row, action] : decided) {
        switch (action) {
        case ReloadAction::Keep:
            break;
        case ReloadAction::Start:
            m_engine.Revive(row);
            m_engine.Enqueue(row);
            m_engine.LogRow(row, "配置已改为运行中: 排队启动");
            break;
        case ReloadAction::Stop:
            m_engine.HaltChannel(row, RowEvent::Kind::Paused, "配置已改为暂停中: 已停止");
            break;
        case ReloadAction::Delete:
            m_engine.HaltChannel(row, RowEvent::Kind::Deleted, "配置中已删除: 已停止");
            break;
        case ReloadAction::Restart:
            m_engine.HaltChannel(row, RowEvent::Kind::Restarting, "配置已修改: 重新启动");
            m_engine.LaunchStored(row, true);
            break;
        }
    }
    int changes = static_cast<int>(decided.size());

    // Channels added under new ids keep them: renumbering a running program's ids would move
    // the keys of channels whose children are running. The next start-up renumbers them.
    std::vector<int> added;
    for (const auto& [id, count] : keyCounts)
        if (m_engine.RowOfId(id) < 0)
            added.push_back(id);
    std::sort(added.begin(), added.end());
    for (const int id : added) {
        const std::optional<ScannedChannel> channel = ReadListedChannel(store, id);
        if (!channel)
            continue;
        const int row = AppendListed(*channel);
        const bool start = IsStoredRunning(channel->state);
        if (start)
            m_engine.Enqueue(row);
        m_engine.LogRow(row, start ? "新信号: 排队启动" : "新信号");
        ++changes;
    }
    return changes;
}
