#include "ffmpeg/StandIn.h"

#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/CommandLine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string_view>

namespace {

const char kInterrupted[] = "信号中断";
const char kBackground[] = "0x202020";  // dark grey: the text stays readable, nobody takes it for a picture
// The silent track: the rate and layout players expect of a camera.
const char kSilence[] = "anullsrc=channel_layout=stereo:sample_rate=44100";

// Fonts with Chinese glyphs from Debian's packages, the lightest first.
const char* const kCjkFonts[] = {
    "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",          // fonts-wqy-microhei
    "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",            // fonts-wqy-zenhei
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",  // fonts-noto-cjk
    "/usr/share/fonts/opentype/noto/NotoSerifCJK-Regular.ttc",
    "/usr/share/fonts/truetype/arphic/uming.ttc",              // fonts-arphic-uming
    "/usr/share/fonts/truetype/arphic/ukai.ttc",
};

bool ReadableFile(const std::string& path)
{
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

// yuv420p takes even sizes only; 0 or less gives the default.
int EvenSize(int value, int fallback)
{
    return value <= 0 ? fallback : std::max(2, value & ~1);
}

// The name as one line of text: control characters (a line break would add a line, a tab is
// drawn as a box) become blanks.
std::string OneLine(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }, ' ');
    const std::size_t first = text.find_first_not_of(' '), last = text.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// One centred line. literal: drawn as given (no %{...} expansion, no backslash escapes).
std::string DrawText(const std::string& font, const std::string& text, bool literal, int size, int y)
{
    std::string filter = "drawtext=";
    // Without a font file drawtext asks fontconfig for its default font, which may lack Chinese
    // glyphs (they are drawn as boxes): the stream still runs.
    if (!font.empty())
        filter += "fontfile=" + EscapeFilterValue(font) + ":";
    if (literal)
        filter += "expansion=none:";
    return filter + "text=" + EscapeFilterValue(text) + ":fontsize=" + std::to_string(size)
           + ":fontcolor=white:borderw=2:bordercolor=black:x=(w-text_w)/2:y=" + std::to_string(y);
}

// The video graph: one frame a second of the background, the picture over it and the three
// lines, then repeated up to the frame rate inside the graph (ffmpeg would otherwise report
// every repeated frame as duplicated in its status lines).
std::string VideoGraph(const StandInPlan& p, int width, int height, int rate)
{
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::string graph = "color=c=" + std::string(kBackground) + ":s=" + size + ":r=1";
    if (ReadableFile(p.picture)) {
        // Scaled to fit, centred on the background: bars where the aspect ratios differ. The
        // overlay repeats the picture's only frame for ever.
        const std::string box = std::to_string(width) + ":" + std::to_string(height);
        graph = "movie=" + EscapeFilterPath(p.picture) + ",scale=" + box
                + ":force_original_aspect_ratio=decrease[picture];" + graph
                + "[background];[background][picture]overlay=(W-w)/2:(H-h)/2";
    }
    graph += ",format=yuv420p";
    const int big = std::max(8, height / 10), small = std::max(8, height / 14), middle = height / 2;
    const std::string name = OneLine(p.name);
    if (!name.empty())  // no line for a name without text
        graph += "," + DrawText(p.fontFile, name, true, big, middle - 2 * big);
    graph += "," + DrawText(p.fontFile, kInterrupted, true, big, middle - big / 2);
    // %{localtime} prints "2024-05-01 08:30:00" (local time), drawn anew each second.
    graph += "," + DrawText(p.fontFile, "%{localtime}", false, small, middle + big);
    return graph + ",fps=" + std::to_string(rate);
}

}  // namespace

std::vector<std::string> StandInArguments(const StandInPlan& plan)
{
    const int width = EvenSize(plan.width, 640), height = EvenSize(plan.height, 360);
    const int rate = plan.frameRate > 0 ? plan.frameRate : 25;
    // A still picture needs little: the cap keeps a detailed one from costing the uplink.
    const std::string cap = std::to_string(std::max(300, width * height / 2000));
    return {"-hide_banner", "-nostdin",
            "-re", "-f", "lavfi", "-i", VideoGraph(plan, width, height, rate),
            "-re", "-f", "lavfi", "-i", kSilence,
            "-map", "0:v", "-map", "1:a",
            // One encoder thread is plenty for a still picture, and many channels may fail at once.
            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-threads", "1",
            // A keyframe every 2 s exactly: a new viewer waits at most that long for a picture.
            "-g", std::to_string(2 * rate), "-keyint_min", std::to_string(2 * rate), "-sc_threshold", "0",
            "-crf", "30", "-maxrate", cap + "k", "-bufsize", std::to_string(2 * std::stoi(cap)) + "k",
            "-c:a", "aac", "-b:a", "64k",
            "-f", "flv", plan.output};
}

std::string StandInLine(const StandInPlan& plan)
{
    return JoinCommandLine(StandInArguments(plan));
}

std::string FindCjkFont()
{
    for (const char* path : kCjkFonts)
        if (ReadableFile(path))
            return path;
    return {};
}

std::vector<std::string> CameraProbeArguments(const std::string& source, bool rtspOverTcp, int timeoutSeconds)
{
    const long long micros = (timeoutSeconds > 0 ? timeoutSeconds : 5) * 1000000LL;
    std::vector<std::string> args = {"-hide_banner", "-nostdin", "-v", "error"};
    // The RTSP demuxer's -timeout is its socket timeout in microseconds; for the protocols
    // (rtmp, http) the general rw_timeout is (rtmp's own -timeout would make it listen).
    if (source.starts_with("rtsp://")) {
        if (rtspOverTcp)
            args.insert(args.end(), {"-rtsp_transport", "tcp"});
        args.insert(args.end(), {"-timeout", std::to_string(micros)});
    } else {
        args.insert(args.end(), {"-rw_timeout", std::to_string(micros)});
    }
    // The first video packet, copied to nowhere: nothing is decoded.
    args.insert(args.end(), {"-i", source, "-map", "0:v:0?", "-c", "copy", "-frames:v", "1", "-f", "null", "-"});
    return args;
}

std::optional<OutputPictureSize> OutputPicture(const std::vector<std::string>& lines)
{
    // The rate is "fps" where the stream says it, else the guessed "tbr" (a raw copy prints only that).
    static const std::regex size(R"(, (\d{2,5})x(\d{2,5})[ ,\[])"), rate(R"(, (\d+(?:\.\d+)?) fps)"),
        guessed(R"(, (\d+(?:\.\d+)?) tbr)");
    bool output = false;
    for (const std::string& line : lines) {
        output = output || line.starts_with("Output #");
        if (!output || line.find("Video:") == std::string::npos)
            continue;
        std::smatch m;
        if (!std::regex_search(line, m, size))
            return std::nullopt;
        OutputPictureSize picture{std::stoi(m[1]), std::stoi(m[2]), 0};
        if (std::regex_search(line, m, rate) || std::regex_search(line, m, guessed))
            picture.frameRate = static_cast<int>(std::stod(m[1]) + 0.5);
        return picture;
    }
    return std::nullopt;
}
