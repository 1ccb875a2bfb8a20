#include "ffmpeg/StandIn.h"

#include <sys/stat.h>

std::vector<std::string> StandInArguments(const StandInPlan& p)
{
    const int w = p.width > 0 ? p.width : 640, h = p.height > 0 ? p.height : 360, fps = p.frameRate > 0 ? p.frameRate : 25;
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    return {"-hide_banner", "-nostdin", "-re", "-f", "lavfi", "-i", "color=c=0x202830:s=" + size + ":r=1",
            "-re", "-f", "lavfi", "-i", "anullsrc=r=44100:cl=stereo", "-vf",
            "drawtext=text='%{localtime}':fontcolor=white:fontsize=24:x=(w-text_w)/2:y=(h-text_h)/2,fps=" +
                std::to_string(fps) + ",format=yuv420p",
            "-c:v", "libx264", "-preset", "ultrafast", "-g", std::to_string(2 * fps), "-sc_threshold", "0",
            "-c:a", "aac", "-b:a", "64k", "-f", "flv", p.output};
}

std::string StandInLine(const StandInPlan& plan)
{
    std::string line;
    for (const std::string& a : StandInArguments(plan))
        line += " " + a;
    return line;
}

std::string FindCjkFont()
{
    struct stat info;
    const char* path = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
    return ::stat(path, &info) == 0 ? path : "";
}

std::vector<std::string> CameraProbeArguments(const std::string& source, bool rtspOverTcp, int timeoutSeconds)
{
    std::vector<std::string> args{"-hide_banner", "-nostdin", "-v", "error"};
    if (source.starts_with("rtsp://") && rtspOverTcp)
        args.insert(args.end(), {"-rtsp_transport", "tcp"});
    args.insert(args.end(), {"-timeout", std::to_string(timeoutSeconds * 1000000LL), "-i", source, "-map", "0:v:0",
                             "-c", "copy", "-frames:v", "1", "-f", "null", "-"});
    return args;
}
