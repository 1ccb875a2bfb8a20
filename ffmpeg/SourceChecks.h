#pragma once
#include "ffmpeg/SourceCheck.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The source checks of stored channels: at most one per channel id at a time, and the last
// finished result of each. Any thread may call it (the window's thread, the status endpoint's
// threads); done runs on the check's own thread, after the result was kept. Never call it from
// done. The destructor cancels every check and waits for it.
class SourceChecks {
public:
    using Done = std::function<void(const SourceResult&)>;
    explicit SourceChecks(FfmpegLocation ffmpeg);
    ~SourceChecks();
    SourceChecks(const SourceChecks&) = delete;
    SourceChecks& operator=(const SourceChecks&) = delete;

    const FfmpegLocation& Ffmpeg() const { return m_ffmpeg; }

    // False, and nothing started, while a check of id runs.
    bool Start(int id, const SourceRequest& request, Done done);
    bool Running(int id) const;
    void Cancel(int id);
    // The last check of id that was not cancelled.
    std::optional<SourceResult> Last(int id) const;

private:
    FfmpegLocation m_ffmpeg;
    mutable std::mutex m_mutex;
    std::map<int, std::unique_ptr<SourceCheck>> m_checks;
    std::map<int, SourceResult> m_last;
};

// Runs the checks, at most parallel at once, and calls shown(i, result) on the calling thread
// for each in order, as soon as it and every check before it have ended. stop, when given, is
// asked every 100 ms: once it says true, what runs is cancelled, nothing more starts, and false
// is returned when the cancelled ones have ended.
bool RunChecksInOrder(const std::vector<SourceRequest>& requests, const FfmpegLocation& ffmpeg, int parallel,
                      const std::function<void(std::size_t, const SourceResult&)>& shown,
                      const std::function<bool()>& stop = {});
