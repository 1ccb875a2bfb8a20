// The command builder over arbitrary settings: a line it accepts fits the 1,024-byte buffer,
// splits into exactly its template's arguments (no setting adds, removes or replaces one; the
// source, publish address and profile arrive whole), which are the arguments the child gets,
// and still does over TCP. A refusal carries a message and no line.
#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/CommandLine.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Input: five check bytes, seven 16-bit numbers, then the five texts separated by zero bytes.
struct Input {
    const std::uint8_t* p;
    std::size_t left;
    int Byte() { return left ? (--left, *p++) : 0; }
    int Number() { return static_cast<std::int16_t>(Byte() | Byte() << 8); }
    std::string Text()
    {
        std::string s;
        while (left && *p != 0)
            s += static_cast<char>(Byte());
        Byte();
        return s;
    }
};

void Check(bool ok) { if (!ok) std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in{data, size};
    CheckStates checks{};
    for (int& c : checks)
        c = in.Byte() % 3 - 1;
    ChannelRecord s{};
    for (int* n :
         {&s.width, &s.height, &s.videoBitrate, &s.frameRate, &s.audioChannels, &s.sampleRate, &s.audioBitrate})
        *n = in.Number();
    for (std::string* t : {&s.sourceUrl, &s.publishUrl, &s.profile, &s.watermarkPath, &s.watermarkPlacement})
        *t = in.Text();

    // The same template with plain values: the arguments every line of it must split into.
    const ChannelRecord plain{.sourceUrl = "rtsp://h/s", .publishUrl = "rtmp://h/live/a", .frameRate = 25,
                               .width = 320, .height = 240, .profile = "main",
                               .watermarkPath = s.watermarkPath.empty() ? "" : "/w.png", .watermarkPlacement = "1:1"};
    const CommandBuild ref = BuildCommandLine(checks, plain);
    const CommandBuild b = BuildCommandLine(checks, s);

    Check((b.status == CommandBuild::NoStreams) == (ref.status == CommandBuild::NoStreams));
    if (b.status != CommandBuild::Ok) {
        Check(b.line.empty() && !b.message.empty() && b.templateNo == 0);
        return 0;
    }
    Check(ref.status == CommandBuild::Ok && b.templateNo == ref.templateNo);
    Check(b.line.size() < kCommandBufferSize && b.reencodesVideo == ref.reencodesVideo);
    const std::vector<std::string> args = SplitCommandLine(b.line);
    Check(args == LaunchArguments(b.plan));
    const std::vector<std::string> expected = SplitCommandLine(ref.line);
    Check(args.size() == expected.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        Check(expected[i][0] != '-' || args[i] == expected[i]);   // every option keeps its place
        for (const auto field : {&ChannelRecord::sourceUrl, &ChannelRecord::publishUrl, &ChannelRecord::profile})
            Check(expected[i] != plain.*field || args[i] == s.*field);
    }

    // Over TCP: two arguments more (none when the line already asks for it), or the line left as it was.
    CommandBuild tcp = b;
    const bool rewritten = ApplyRtspTransport(true, tcp);
    Check(rewritten ? tcp.line.size() < kCommandBufferSize && SplitCommandLine(tcp.line) == LaunchArguments(tcp.plan)
                          && SplitCommandLine(tcp.line).size() == args.size() + (tcp.line == b.line ? 0 : 2)
                    : tcp.line == b.line);
    return 0;
}
