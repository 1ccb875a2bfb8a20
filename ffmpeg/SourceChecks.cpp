#include "ffmpeg/SourceChecks.h"

#include <chrono>
#include <condition_variable>
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

bool RunChecksInOrder(const std::vector<SourceRequest>& requests, const FfmpegLocation& ffmpeg, int parallel,
                      const std::function<void(std::size_t, const SourceResult&)>& shown,
                      const std::function<bool()>& stop)
{
    std::mutex mutex;
    std::condition_variable ended;
    std::vector<std::optional<SourceResult>> results(requests.size());
    std::size_t next = 0, done = 0;
    int running = 0;
    bool stopped = false;
    SourceChecks checks(ffmpeg);  // destroyed first: no done runs once the locals above go
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        for (; !stopped && running < parallel && next < requests.size(); ++next, ++running) {
            lock.unlock();
            checks.Start(static_cast<int>(next), requests[next], [&, i = next](const SourceResult& result) {
                const std::lock_guard<std::mutex> guard(mutex);
                results[i] = result;
                --running;
                ended.notify_all();
            });
            lock.lock();
        }
        for (; done < results.size() && results[done]; ++done)
            shown(done, *results[done]);
        if (done == results.size() || (stopped && running == 0))
            break;
        ended.wait_for(lock, std::chrono::milliseconds(100));
        if (!stopped && stop && stop()) {
            stopped = true;
            lock.unlock();
            for (std::size_t i = 0; i < next; ++i)
                checks.Cancel(static_cast<int>(i));
            lock.lock();
        }
    }
    return !stopped;
}
