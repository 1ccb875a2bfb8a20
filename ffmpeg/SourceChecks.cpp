#include "ffmpeg/SourceChecks.h"

#include <vector>

SourceChecks::SourceChecks(FfmpegLocation ffmpeg) : m_ffmpeg(std::move(ffmpeg)) {}

SourceChecks::~SourceChecks()
{
    std::map<int, std::unique_ptr<SourceCheck>> checks;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        checks.swap(m_checks);
    }
    for (auto& [id, check] : checks)
        check->Cancel();
    checks.clear();  // joins: their done keeps its result under the lock, so not while holding it
}

bool SourceChecks::Start(int id, const SourceRequest& request, Done done)
{
    std::vector<std::unique_ptr<SourceCheck>> ended;
    bool started = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // Ended checks give back their threads here, so that idle channels hold none.
        for (auto it = m_checks.begin(); it != m_checks.end();) {
            if (it->second->Running()) {
                ++it;
                continue;
            }
            ended.push_back(std::move(it->second));
            it = m_checks.erase(it);
        }
        if (!m_checks.count(id)) {
            auto check = std::make_unique<SourceCheck>(m_ffmpeg);
            started = check->Start(request, [this, id, done = std::move(done)](SourceResult result) {
                if (!result.cancelled) {
                    const std::lock_guard<std::mutex> keep(m_mutex);
                    m_last[id] = result;
                }
                if (done)
                    done(result);
            });
            m_checks.emplace(id, std::move(check));
        }
    }
    return started;  // the ended checks are joined outside the lock: their done may still want it
}

bool SourceChecks::Running(int id) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_checks.find(id);
    return it != m_checks.end() && it->second->Running();
}

void SourceChecks::Cancel(int id)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (const auto it = m_checks.find(id); it != m_checks.end())
        it->second->Cancel();
}

std::optional<SourceResult> SourceChecks::Last(int id) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_last.find(id);
    return it == m_last.end() ? std::nullopt : std::optional<SourceResult>(it->second);
}
