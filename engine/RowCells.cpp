#include "engine/RowCells.h"

#include "settings/ChannelStore.h"

void RowCells::Apply(const RowEvent& e)
{
    const std::string n = std::to_string(e.m_value);
    using Kind = RowEvent::Kind;
    // Whatever stops, ends or refuses a child ends what was said of its health.
    if (e.m_kind >= Kind::Refused && e.m_kind <= Kind::Restarting)
        health.clear();
    switch (e.m_kind) {
    case Kind::Appended:
        name = e.m_text, state = e.m_state, transCode = e.m_transCode, size = e.m_size;
        break;
    case Kind::Renamed:
        name = e.m_text;
        break;
    case Kind::Starting:
        state = kStateRunning;
        break;
    case Kind::ReencodesVideo:
        transCode = "是";
        break;
    case Kind::Live:
        bitrate = n + "kbps";
        break;
    case Kind::Degraded:
        health = e.m_text;
        break;
    case Kind::Refused:
        bitrate = e.m_text;
        break;
    case Kind::Stalled:
        bitrate = "无数据" + n + "秒，重新连接。。。";
        break;
    case Kind::Failing:
        bitrate = "连续" + n + "次直播失败，重试中。。。！";
        break;
    case Kind::RetryingEveryMinute:
        bitrate = "连续" + n + "次直播失败，每分钟重试。。。！";
        break;
    case Kind::StandIn:
        bitrate = e.m_text;
        break;
    case Kind::GaveUp:
        bitrate = "直播多次失败，请检查！";
        break;
    case Kind::Paused:
    case Kind::Restarting:
        state = e.m_kind == Kind::Paused ? kStatePaused : kStateRunning;
        bitrate.clear();
        break;
    case Kind::Deleted:
        state = "已删除，重启生效";  // the other cells stay
        break;
    }
}
