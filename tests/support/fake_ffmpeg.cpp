// A stand-in transcoder for tests. It accepts any argument line, prints status lines like the
// real program, and behaves as told by options after the last '#' of its last argument:
//   rtmp://127.0.0.1/live/a#lines=3,interval=100,exit=1,kbps=512.0
// Keys: lines (-1 = forever), interval (ms), exit, kbps, banner (0|1), error (text, %XX-decoded,
// printed last), hang (1: banner, then sleep forever), delay (ms before the first status line).
// kbps=clock prints the wall clock (milliseconds mod 10^6) as the frame count, so a benchmark can
// tell how long a reading took to reach the window. "-encoders" prints an encoder list.
// With FAKE_FFMPEG_LOG_DIR set, <dir>/<pid>.txt records first of all:
//   one line per argv entry (backslash and newline escaped as \\ and \n), then
//   "stdin: <target of fd 0>", "fds: <open fds>".
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {

// Written to a temporary name and renamed, so a reader never sees half a file.
void WriteLog(const std::string& dir, int argc, char** argv)
{
    std::string text;
    for (int i = 0; i < argc; ++i) {
        for (const char* c = argv[i]; *c; ++c)
            text += *c == '\\' ? "\\\\" : *c == '\n' ? "\\n" : std::string(1, *c);
        text += "\n";
    }
    std::error_code ec;
    text += "stdin: " + std::filesystem::read_symlink("/proc/self/fd/0", ec).string() + "\nfds:";
    for (int fd = 0; fd < 1024; ++fd)
        if (::fcntl(fd, F_GETFD) != -1)
            text += " " + std::to_string(fd);
    text += "\n";
    const std::string path = dir + "/" + std::to_string(::getpid()) + ".txt";
    if (std::ofstream(path + ".tmp", std::ios::binary) << text)
        std::rename((path + ".tmp").c_str(), path.c_str());
}

// "a=1,b=x%20y" after the last '#' of text, values %XX-decoded.
std::map<std::string, std::string> ParseOptions(const std::string& text)
{
    std::map<std::string, std::string> options;
    std::istringstream items(text.substr(text.find('#') == std::string::npos ? text.size() : text.rfind('#') + 1));
    for (std::string item; std::getline(items, item, ',');) {
        const std::size_t eq = item.find('=');
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        for (std::size_t p = value.find('%'); p != std::string::npos && p + 2 < value.size(); p = value.find('%', p + 1))
            value.replace(p, 3, 1, static_cast<char>(std::strtol(value.substr(p + 1, 2).c_str(), nullptr, 16)));
        if (eq != std::string::npos)
            options[item.substr(0, eq)] = value;
    }
    return options;
}

}   // namespace

int main(int argc, char** argv)
{
    if (const char* dir = std::getenv("FAKE_FFMPEG_LOG_DIR"); dir && *dir)
        WriteLog(dir, argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-encoders") == 0) {
            std::printf("Encoders:\n ------\n V....D libx264  libx264 H.264 (codec h264)\n A..... aac  AAC (Advanced Audio Coding)\n");
            return 0;
        }

    const std::string last = argc > 1 ? argv[argc - 1] : "";
    auto options = ParseOptions(last);
    auto get = [&](const char* key, const char* fallback) { return options.contains(key) ? options[key] : fallback; };
    if (get("banner", "1") != "0") {
        const char* input = "?";
        for (int i = 1; i + 1 < argc; ++i)
            if (std::strcmp(argv[i], "-i") == 0)
                input = argv[i + 1];
        std::fprintf(stderr,
                     "ffmpeg version 5.1-fake Copyright (c) 2000-2024 the FFmpeg developers\n"
                     "  libavutil      57. 28.100 / 57. 28.100\n"
                     "Input #0, rtsp, from '%s':\nOutput #0, flv, to '%s':\n",
                     input, last.substr(0, last.rfind('#')).c_str());
        std::fflush(stderr);
    }
    while (get("hang", "0") == "1")
        ::pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(get("delay", "0").c_str())));
    const long lines = std::atol(get("lines", "-1").c_str());
    for (long n = 1; lines < 0 || n <= lines; ++n) {
        const auto clock = std::chrono::system_clock::now().time_since_epoch();
        const bool clockMode = get("kbps", "") == "clock";
        const double kbps = clockMode ? 318.0 : std::atof(get("kbps", "318.0").c_str());
        const long frame = clockMode ? std::chrono::duration_cast<std::chrono::milliseconds>(clock).count() % 1000000 : n * 25;
        // Half a second of media per line; ends with '\r' like the real one. The size has two
        // decimals (the real one rounds to whole kB) so that rates measured between lines are exact.
        const long centis = n * 50;
        std::fprintf(stderr,
                     "frame=%5ld fps=25.0 q=28.0 size=%10.2fkB time=%02ld:%02ld:%02ld.%02ld bitrate=%6.1fkbits/s "
                     "speed=1.0x    \r",
                     frame, kbps * 1000 / 8 * centis / 100.0 / 1024, centis / 360000, centis / 6000 % 60, centis / 100 % 60,
                     centis % 100, kbps);
        std::fflush(stderr);
        if (lines < 0 || n < lines)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(get("interval", "500").c_str())));
    }
    if (const std::string error = get("error", ""); !error.empty())
        std::fprintf(stderr, "%s\n", error.c_str()), std::fflush(stderr);
    return std::atoi(get("exit", "0").c_str());
}
