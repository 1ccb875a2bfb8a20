#include "engine/LiveHealth.h"

#include <cstdio>

const char* DegradationName(Degradation degradation)
{
    switch (degradation) {
    case Degradation::Slow: return "slow";
    case Degradation::PacketLoss: return "packet_loss";
    case Degradation::None: break;
    }
    return "";
}

void LiveHealth::NewChild()
{
    m_droppedBefore += static_cast<std::uint64_t>(m_child.dropped);
    m_duplicatedBefore += static_cast<std::uint64_t>(m_child.duplicated);
    m_lostBefore += static_cast<std::uint64_t>(m_child.lostPackets);
    const LiveHealth kept = *this;
    *this = LiveHealth();
    m_droppedBefore = kept.m_droppedBefore, m_duplicatedBefore = kept.m_duplicatedBefore, m_lostBefore = kept.m_lostBefore;
}

void LiveHealth::Observe(const ProgressSample& s)
{
    m_child = s;
    m_loss.emplace_back(s.at, s.lostPackets);
    while (m_loss.size() > 1 && s.at - m_loss[1].first >= kLossWindowNs)
        m_loss.pop_front();
    if (!m_measured) {   // until a window is measured, what the child says of itself
        m_speed = s.speed;
        m_fps = s.fps;
    }
    if (s.timeMs < 0)
        return;
    if (m_windowStart.at == 0 || s.timeMs < m_windowStart.timeMs) {
        m_windowStart = s;
        return;
    }
    const std::int64_t ns = s.at - m_windowStart.at;
    if (ns < kWindowNs)
        return;
    m_speed = static_cast<double>(s.timeMs - m_windowStart.timeMs) * 1e6 / static_cast<double>(ns);
    if (s.frames >= 0 && m_windowStart.frames >= 0)
        m_fps = static_cast<double>(s.frames - m_windowStart.frames) * 1e9 / static_cast<double>(ns);
    m_measured = true;
    if (m_speed >= kSlowSpeed)
        m_slowSince = -1;
    else if (m_slowSince < 0)
        m_slowSince = m_windowStart.at;
    m_windowStart = s;
}

std::int64_t LiveHealth::LostLastMinute() const
{
    return m_loss.empty() ? 0 : m_loss.back().second - m_loss.front().second;
}

Degradation LiveHealth::Verdict() const
{
    if (m_slowSince >= 0 && m_windowStart.at - m_slowSince >= kSlowForNs)
        return Degradation::Slow;
    if (LostLastMinute() >= kLostPerWindow)
        return Degradation::PacketLoss;
    return Degradation::None;
}

std::string LiveHealth::Sentence(bool reencodes, bool tcp) const
{
    char text[320];
    switch (Verdict()) {
    case Degradation::None:
        return {};
    case Degradation::Slow:
        std::snprintf(text, sizeof text,
                      reencodes ? "本机 CPU 不足：转码速度只有 %.2g 倍实时，请降低尺寸/帧率或改为直通"
                                : "转发速度只有 %.2g 倍实时：摄像头送来的画面跟不上，请检查摄像头到本机的网络",
                      m_speed);
        return text;
    case Degradation::PacketLoss:
        std::snprintf(text, sizeof text,
                      tcp ? "摄像头到本机丢包：最近一分钟丢失 %lld 个包，画面会花屏或卡顿，请检查摄像头与本机之间的网络"
                          : "摄像头到本机丢包：最近一分钟丢失 %lld 个包，画面会花屏或卡顿，建议勾选“TCP模式拉监控视频”",
                      static_cast<long long>(LostLastMinute()));
        return text;
    }
    return {};
}
