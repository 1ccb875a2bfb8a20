// A stand-in transcoder for tests. It accepts any argument line, prints status lines like the
// real program, and behaves as told by options after the last '#' of its last argument:
//   rtmp://127.0.0.1/live/a#lines=3,interval=100,exit=1,kbps=512.0,shape=KiB
// Keys: lines (-1 = forever), interval (ms), exit, kbps, shape (kB | KiB | nofps), banner (0|1),
// error (text, %XX-decoded, printed last), hang (1: banner, then sleep forever), delay (ms before
// the first status line), final (1: end with the "Lsize=" summary line).
// kbps=clock prints the wall clock (milliseconds mod 10^6) as the bitrate, so a benchmark can
// tell how long a reading took to reach the window.
// "-encoders" prints an encoder list (libfaac only with FAKE_FFMPEG_LIBFAAC=1).
// With FAKE_FFMPEG_LOG_DIR set, <dir>/<pid>.txt records first of all:
//   one line per argv entry (backslash and newline escaped as \\ and \n), then
//   "stdin: <target of fd 0>", "fds: <open fds>", "pgid=<n> pid=<n>", "cwd: <dir>".
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string ReadLink(const char* path)
{
    char buf[4096];
    ssize_t n = ::readlink(path, buf, sizeof buf - 1);
    return n < 0 ? std::string("?") : std::string(buf, static_cast<std::size_t>(n));
}

std::string OpenFds()
{
    std::string list;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return "?";
    std::vector<int> fds;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        int fd = std::atoi(entry->d_name);
        if (fd != ::dirfd(dir))
            fds.push_back(fd);
    }
    ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    for (int fd : fds)
        list += (list.empty() ? "" : " ") + std::to_string(fd);
    return list;
}

// Written to a temporary name and renamed, so a reader never sees half a file.
void WriteLog(const char* dir, int argc, char** argv)
{
    std::string text;
    for (int i = 0; i < argc; ++i)
        text += Escape(argv[i]) + "\n";
    text += "stdin: " + ReadLink("/proc/self/fd/0") + "\n";
    text += "fds: " + OpenFds() + "\n";
    text += "pgid=" + std::to_string(::getpgrp()) + " pid=" + std::to_string(::getpid()) + "\n";
    char cwd[4096];
    text += std::string("cwd: ") + (::getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";

    const std::string final = std::string(dir) + "/" + std::to_string(::getpid()) + ".txt";
    const std::string temp = final + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t written = ::write(fd, text.data(), text.size());
    ::close(fd);
    if (written == static_cast<ssize_t>(text.size()))
        ::rename(temp.c_str(), final.c_str());
}

std::string PercentDecode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::map<std::string, std::string> ParseOptions(const char* last)
{
    std::map<std::string, std::string> options;
    const char* hash = std::strrchr(last, '#');
    if (!hash)
        return options;
    std::string rest = hash + 1;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t comma = rest.find(',', start);
        if (comma == std::string::npos)
            comma = rest.size();
        std::string item = rest.substr(start, comma - start);
        std::size_t eq = item.find('=');
        if (eq != std::string::npos)
            options[item.substr(0, eq)] = PercentDecode(item.substr(eq + 1));
        start = comma + 1;
    }
    return options;
}

void SleepMs(long ms)
{
    if (ms <= 0)
        return;
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

void PrintEncoders(bool libfaac)
{
    std::printf("Encoders:\n"
                " V..... = Video\n"
                " A..... = Audio\n"
                " S..... = Subtitle\n"
                " .F.... = Frame-level multithreading\n"
                " ..S... = Slice-level multithreading\n"
                " ...X.. = Codec is experimental\n"
                " ....B. = Supports draw_horiz_band\n"
                " .....D = Supports direct rendering method 1\n"
                " ------\n"
                " V....D flv                  FLV / Sorenson Spark / Sorenson H.263 (Flash Video) (codec flv1)\n"
                " V....D libx264              libx264 H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10 (codec h264)\n"
                " A..... aac                  AAC (Advanced Audio Coding)\n");
    if (libfaac)
        std::printf(" A..... libfaac              libfaac AAC (Advanced Audio Coding) (codec aac)\n");
}

void PrintBanner(int argc, char** argv)
{
    const char* input = "?";
    std::string output = argc > 1 ? argv[argc - 1] : "?";
    output = output.substr(0, output.rfind('#'));
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0)
            input = argv[i + 1];
    }
    std::fprintf(stderr,
                 "ffmpeg version 5.1-fake Copyright (c) 2000-2024 the FFmpeg developers\n"
                 "  built with gcc 12 (Debian 12.2.0-14)\n"
                 "Input #0, rtsp, from '%s':\n"
                 "  Duration: N/A, start: 0.000000, bitrate: N/A\n"
                 "  Stream #0:0: Video: h264 (Main), yuv420p(progressive), 640x360, 25 fps, 25 tbr, 90k tbn\n"
                 "Output #0, flv, to '%s':\n"
                 "Stream mapping:\n"
                 "  Stream #0:0 -> #0:0 (copy)\n"
                 "Press [q] to stop, [?] for help\n",
                 input, output.c_str());
    std::fflush(stderr);
}

// One status line in the layout of the given ffmpeg generation; ends with '\r' like the real one.
void PrintStatus(const std::string& shape, int n, double kbps, bool last)
{
    const int frame = n * 25;
    const int centis = n * 50;   // half a second of media per line
    const double sizeK = kbps * centis / 800.0;
    char time[32];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d.%02d", centis / 360000, centis / 6000 % 60,
                  centis / 100 % 60, centis % 100);
    const char* prefix = last ? "L" : "";
    if (shape == "KiB") {
        std::fprintf(stderr, "frame=%5d fps=%4.1f q=%3.1f %ssize=%8.0fKiB time=%s bitrate=%6.1fkbits/s speed=1.0x    %c",
                     frame, 25.0, 28.0, prefix, sizeK, time, kbps, last ? '\n' : '\r');
    } else if (shape == "nofps") {
        std::fprintf(stderr, "%ssize=%8.0fKiB time=%s bitrate=%6.1fkbits/s speed=1.0x    %c", prefix, sizeK,
                     time, kbps, last ? '\n' : '\r');
    } else {
        std::fprintf(stderr, "frame=%5d fps=%4.1f q=%3.1f %ssize=%8.0fkB time=%s bitrate=%6.1fkbits/s speed=1.0x    %c",
                     frame, 25.0, 28.0, prefix, sizeK, time, kbps, last ? '\n' : '\r');
    }
    std::fflush(stderr);
}

}   // namespace

int main(int argc, char** argv)
{
    if (const char* dir = std::getenv("FAKE_FFMPEG_LOG_DIR"); dir && *dir)
        WriteLog(dir, argc, argv);

    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-encoders") == 0) {
            const char* faac = std::getenv("FAKE_FFMPEG_LIBFAAC");
            PrintEncoders(faac && std::strcmp(faac, "1") == 0);
            return 0;
        }
    }

    auto options = argc > 1 ? ParseOptions(argv[argc - 1]) : std::map<std::string, std::string>();
    auto get = [&](const char* key, const char* fallback) {
        auto it = options.find(key);
        return it == options.end() ? std::string(fallback) : it->second;
    };
    const long lines = std::atol(get("lines", "-1").c_str());
    const long interval = std::atol(get("interval", "500").c_str());
    const int exitCode = std::atoi(get("exit", "0").c_str());
    const bool clockKbps = get("kbps", "") == "clock";
    const double kbps = std::atof(get("kbps", "318.0").c_str());
    const auto kbpsNow = [&] {
        if (!clockKbps)
            return kbps;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<double>((now.tv_sec % 1000) * 1000 + now.tv_nsec / 1000000);
    };
    const std::string shape = get("shape", "kB");

    if (get("banner", "1") != "0")
        PrintBanner(argc, argv);
    if (get("hang", "0") == "1") {
        for (;;)
            ::pause();
    }
    SleepMs(std::atol(get("delay", "0").c_str()));
    for (long n = 1; lines < 0 || n <= lines; ++n) {
        PrintStatus(shape, static_cast<int>(n), kbpsNow(), false);
        if (lines < 0 || n < lines)
            SleepMs(interval);
    }
    if (get("final", "0") == "1")
        PrintStatus(shape, static_cast<int>(lines < 0 ? 0 : lines), kbps, true);
    const std::string error = get("error", "");
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::fflush(stderr);
    }
    return exitCode;
}
