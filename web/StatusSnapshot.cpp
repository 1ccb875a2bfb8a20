#include "web/StatusSnapshot.h"

std::vector<ChannelStatus> StatusSnapshot(const RelayEngine& engine)
{
    std::vector<ChannelStatus> channels;
    channels.reserve(static_cast<std::size_t>(engine.RowCount()));
    for (int row = 0; row < engine.RowCount(); ++row) {
        const RowView view = engine.View(row);
        if (view.deleted)
            continue;
        ChannelStatus& c = channels.emplace_back();
        c.id = view.id;
        c.name = view.name;
        c.source = view.source, c.publish = view.publish;
        c.running = view.active;
        c.up = view.up;
        c.bitrateKbps = view.kbps;
        c.consecutiveFailures = view.failures;
        c.restartsTotal = view.restarts;
        c.secondsSinceProgress = view.secondsSinceReading;
        c.state = view.state;
        c.liveSince = view.liveSince;
        c.outputBytes = view.outputBytes;
        if (const FailureRecord* f = view.lastFailure)
            c.lastFailure = ChannelStatus::Failure{f->m_at, f->m_diagnosis.name, f->m_diagnosis.sentence, f->m_diagnosis.line};
        c.texts = view.cells;
        if (view.speed >= 0)
            c.speed = view.speed;
        if (view.fps >= 0)
            c.fps = view.fps;
        c.droppedFrames = view.droppedFrames, c.lostPackets = view.lostPackets, c.liveEnds = view.liveEnds;
        c.degradation = view.degradation;
        c.standInSince = view.standInSince;
        c.standInCause = view.standInCause, c.standInText = view.standInText;
        c.standInSeconds = view.standInSeconds;
        for (const OutputView& o : view.outputs) {
            ChannelStatus::Output& out = c.outputs.emplace_back();
            out.number = o.number;
            out.publish = o.publish;
            out.state = o.state;
            out.up = o.up, out.bitrateKbps = o.kbps;
            out.bytes = o.bytes, out.restarts = o.restarts, out.failures = o.failures;
            if (o.failedAt)
                out.failure = ChannelStatus::Failure{o.failedAt, o.cause, o.causeText, o.causeLine};
        }
    }
    return channels;
}
