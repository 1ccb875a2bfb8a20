#pragma once
#include "ffmpeg/FailureDiagnosis.h"
#include "ffmpeg/FfmpegLocation.h"
#include "ffmpeg/PublishCheck.h"
#include "ffmpeg/SourceAdvice.h"
#include "settings/ConfigStore.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Checking a camera before (or beside) relaying it: ffprobe reads what the source sends, one
// short ffmpeg run grabs a frame as JPEG, and the result says whether the source can be used,
// why not (the relay's own failure diagnosis), what it sends and what that means for the
// channel's settings. No Qt; the window, the wizard, the command line and the service share it.

// What to check, and the settings the advice is for.
struct SourceRequest {
    std::string url;
    bool rtspTcp = false;               // -rtsp_transport tcp for an rtsp:// source
    CheckStates checks{1, 0, 0, 1, 0};  // default: both streams copied, which asks most of the source
    ChannelRecord settings;             // the re-encoding values (profile, size, rates)
    bool grabFrame = true;              // one frame as JPEG when the source has video
    int limitMs = 10000;                // hard limit of each run (ffprobe, then ffmpeg)
    std::string publishUrl;             // checked without publishing; empty: not checked
    std::string watermarkFile;          // the image a re-encode overlays; empty: none
    bool retryTimedOut = false;         // a source that runs into the limit gets a second run
    bool measureKeyframes = true;       // copied video: a few seconds more for its keyframe interval
};

// Channel id as stored in config.ini: its source, settings and the stored RTSP-over-TCP option.
SourceRequest StoredSourceRequest(const ConfigStore& store, int id);

struct SourceResult {
    std::string source;          // the URL, passwords masked (a result never holds a password)
    bool reachable = false;      // ffprobe opened the source
    bool cancelled = false;
    Diagnosis diagnosis;         // why not, when not reachable
    SourceStreams streams;
    std::vector<Advice> advice;  // for the request's settings, when reachable
    bool flvHevc = false;        // the ffmpeg in use copies H.265 into FLV (asked for H.265 sources only)
    std::string frameJpeg;       // one frame as JPEG; empty when none
    std::string frameProblem;    // why there is no frame although the source has video
    bool timedOut = false;       // the source ran into the limit (its retry too, when asked)
    std::string busy;            // after a time-out: why this machine was too busy to judge it
    std::optional<PublishCheck> publish;  // when the request named a publish address
    std::string watermarkProblem;         // the watermark image cannot be read

    // Reachable and sending video or audio.
    bool Usable() const { return reachable && (streams.hasVideo || streams.hasAudio); }
    // The channel cannot relay it as set: not usable, an advice says so, or the publish address
    // or the watermark fails.
    bool Fails() const
    {
        return !Usable() || std::any_of(advice.begin(), advice.end(), [](const Advice& a) { return a.fails; }) ||
               (publish && !publish->Ok()) || !watermarkProblem.empty();
    }
    // Several Chinese lines for the operator: the source, the verdict, the streams, the frame,
    // the advice.
    std::string Report() const;
    // One line: the verdict, the streams and the advice.
    std::string Summary() const;
    // "本机繁忙，结果可能不准：..." for a time-out on a busy machine.
    std::string BusyVerdict() const;
};

// Why a machine is too busy to judge a check that ran into its limit, or empty: two or more
// runnable processes per core over the last minute, or a run that took over twice its limit.
std::string BusyReason(double loadPerCore, long long elapsedMs, int limitMs);

// Runs one check on the calling thread: ffprobe, then (with video) ffmpeg for the frame. Each run
// ends after request.limitMs, or within 50 ms of *cancel becoming true, with SIGKILL to its
// process group; the children are reaped before this returns. Children of a thread get SIGKILL
// when that thread ends, so call it from a thread that outlives the check.
SourceResult RunSourceCheck(const SourceRequest& request, const FfmpegLocation& ffmpeg, const FfmpegLocation& ffprobe,
                            const std::atomic<bool>* cancel = nullptr);

// One check at a time, on a thread of its own. done gets the result on that thread (also a
// cancelled one), once per accepted Start; a face posts it to its owner thread. Start, Cancel
// and Wait are for the owner's thread, never for done itself. The destructor cancels and waits.
class SourceCheck {
public:
    using Done = std::function<void(SourceResult)>;
    // ffprobe is looked for beside ffmpeg, else on PATH.
    explicit SourceCheck(FfmpegLocation ffmpeg);
    ~SourceCheck();
    SourceCheck(const SourceCheck&) = delete;
    SourceCheck& operator=(const SourceCheck&) = delete;

    // False, and nothing started, while a check runs.
    bool Start(const SourceRequest& request, Done done);
    // Kills the running check's children; its done follows with a cancelled result.
    void Cancel() { m_cancel = true; }
    // Until the thread has ended, done included.
    void Wait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    // From Start until just before done is called.
    bool Running() const { return m_running; }

private:
    FfmpegLocation m_ffmpeg, m_ffprobe;
    std::thread m_thread;
    std::atomic<bool> m_running{false}, m_cancel{false};
};
