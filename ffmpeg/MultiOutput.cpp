#include "ffmpeg/MultiOutput.h"

#include "ffmpeg/CommandLine.h"

namespace {

// One TS packet is 188 bytes: seven to a datagram, well below the loopback's MTU. The sending
// socket is bound to the loopback too: nothing of a puller is open on another interface.
const char kDatagram[] = "?pkt_size=1316&localaddr=127.0.0.1";
// The pusher's buffer between its socket and its muxer, in TS packets: about 9 MB, 9 s of an
// 8 Mbit/s camera while the server is slow to take them. The buffer is allocated whole and the
// writer goes round it, so a larger one would in time be resident in full, in every pusher.
const char kPusherBuffer[] = "fifo_size=50000";
// No datagram for this long (in microseconds): the puller is gone, the pusher ends.
const char kPusherTimeout[] = "5000000";
// How long the pusher studies the stream before writing (in microseconds). ffmpeg's default
// waits some 6 s for a stream joined in the middle; 1 s finds H.264 and AAC in the TS.
const char kPusherProbe[] = "1000000";

}  // namespace

std::vector<std::string> PullerArguments(const LaunchPlan& plan, const std::vector<int>& ports)
{
    LaunchPlan p = plan;
    // MPEG-TS cannot carry the G.711 or PCM audio many cameras send (copied, it would arrive as
    // data and be lost), and what the camera sends is known only once the puller runs: copied
    // audio is always encoded to AAC, with the defaults of the channel's "AAC" option. A camera
    // that sends AAC costs one audio encode, a small part of the puller's work.
    if (p.audio == LaunchPlan::Audio::Copy) {
        p.audio = LaunchPlan::Audio::Encode, p.audioEncoder = "aac";
        p.channels = 1, p.sampleRate = 44100, p.audioBitrate = 64;
    }
    std::vector<std::string> args = {"-hide_banner", "-nostdin"};
    const std::vector<std::string> input = LaunchInputArguments(p);
    args.insert(args.end(), input.begin(), input.end());
    // The tee muxer takes no stream by itself: the source's first video and audio, as a single
    // child would (a camera without one of them still runs). The silent track maps its own.
    if (!p.silentInput) {
        if (p.video != LaunchPlan::Video::Off)
            args.insert(args.end(), {"-map", "0:v:0?"});
        if (p.audio != LaunchPlan::Audio::Off)
            args.insert(args.end(), {"-map", "0:a:0?"});
    }
    // Sending to a port nobody reads fails nowhere (an unconnected UDP socket hears no refusal);
    // onfail=ignore keeps the other outputs going should one fail all the same.
    std::string outputs;
    for (const int port : ports)
        outputs += (outputs.empty() ? "" : "|") + std::string("[f=mpegts:onfail=ignore]udp://127.0.0.1:")
                   + std::to_string(port) + kDatagram;
    args.insert(args.end(), {"-f", "tee", outputs});
    return args;
}

std::string PullerLine(const LaunchPlan& plan, const std::vector<int>& ports)
{
    return JoinCommandLine(PullerArguments(plan, ports));
}

std::string PusherInput(int port)
{
    // Without localaddr the port would be bound on every interface, open to any sender.
    return "udp://127.0.0.1:" + std::to_string(port) + "?localaddr=127.0.0.1&" + kPusherBuffer
           + "&overrun_nonfatal=1";
}

std::vector<std::string> PusherArguments(int port, const std::string& output)
{
    return {"-hide_banner", "-nostdin", "-timeout", kPusherTimeout, "-analyzeduration", kPusherProbe,
            "-i", PusherInput(port), "-map", "0", "-c", "copy", "-f", "flv", output};
}

std::string PusherLine(int port, const std::string& output)
{
    return JoinCommandLine(PusherArguments(port, output));
}
