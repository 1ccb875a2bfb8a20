#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Why one attempt of a channel failed, read from what its ffmpeg printed and how it ended: a
// cause, the side at fault, one short Chinese sentence for the operator and the ffmpeg line that
// decided it. Pure functions, no Qt.

enum class FailureCause {
    ConnectionRefused,    // nothing listens on the host and port
    TimedOut,             // no answer, no route, network unreachable
    HostUnknown,          // the host name does not resolve
    RtspUnauthorized,     // RTSP 401: wrong user or password
    RtspNotFound,         // RTSP 403/404: wrong path (or an account without access)
    RtspTransport,        // RTSP 461: the camera refuses the transport asked for
    RtmpAppUnknown,       // the source's RTMP server closed at once: no such application or stream
    StreamInUse,          // the server already has a publisher on that stream name
    ServerClosed,         // the server dropped the connection while we published
    HevcInFlv,            // copying H.265, which FLV cannot carry
    VideoCodecInFlv,      // copying another video codec FLV cannot carry
    AudioCodecInFlv,      // copying an audio codec FLV cannot carry
    PixelFormatProfile,   // the chosen H.264 profile refuses the picture's chroma format
    WatermarkUnreadable,  // the watermark image is missing, unreadable or no image
    EncoderMissing,       // this ffmpeg lacks an encoder the line names
    FfmpegMissing,        // no ffmpeg program found
    FfmpegNotExecutable,  // the ffmpeg found could not be run
    NoPipe,               // no pipe for the child's output (descriptors exhausted)
    Stalled,              // the watchdog stopped a child without progress
    Signal,               // ended by a signal
    PublishRefused,       // the server closed at the publish: refused, or no such application
    UdpBlocked,           // RTSP answered, but no media came over UDP
    StreamEnded,          // the input ended and ffmpeg finished (exit code 0)
    HttpNotFound,         // HTTP 404 from the source
    HttpForbidden,        // HTTP 403 from the source
    HttpUnauthorized,     // HTTP 401 from the source
    WrongProtocol,        // the port speaks another protocol than the address's scheme
    NoStreamName,         // the publish address ends at the application: no stream name
    MachineTooSlow,       // the watchdog stopped a re-encode that ran slower than real time
    PasswordUnescaped,    // a user-info holding '/', '?' or '#': ffmpeg misreads the address
    Other,
};

enum class FailureSide { Camera, Server, Local, Unknown };

// How the attempt ended; the first that applies wins: startError (the child could not be
// started: the engine's reason text), an address ffmpeg misreads (UserInfoMisread: whatever it
// then printed follows from that), stalledSeconds (the watchdog stopped it after that long
// without progress), then ffmpeg's own lines, then signal (or an exitCode of 128 + a signal's
// number, as a shell reports one), then exitCode.
struct AttemptEnd {
    int exitCode = 0;
    int signal = 0;
    int stalledSeconds = 0;
    std::string startError;
    std::optional<bool> rtspOverTcp;  // whether an rtsp:// source was pulled over TCP, when known
    // A stalled child that re-encoded and was last measured below real time: its speed (1 = real
    // time). The camera is then not to blame; -1: not so, or not known.
    double slowSpeed = -1;
};

struct Diagnosis {
    FailureCause cause = FailureCause::Other;
    FailureSide side = FailureSide::Unknown;
    std::string sentence;   // what is wrong and what to do, one Chinese sentence
    std::string label;      // a few Chinese words for a log line
    const char* name = "";  // stable ASCII name, e.g. "rtsp_not_found"
    std::string line;       // the deciding line (passwords masked); empty when none
};

// lines: the child's output lines, oldest first (banner lines are skipped). sourceUrl and
// publishUrl are the channel's, as they stand in the child's arguments: they tell which side a
// URL in a line is.
Diagnosis DiagnoseFailure(const std::vector<std::string>& lines, const AttemptEnd& end,
                          std::string_view sourceUrl, std::string_view publishUrl);

// What to do about copying a codec FLV cannot carry ({1}: the codec): the diagnosis of a failed
// start and the source check's advice say it in the same words.
inline constexpr char kHevcCopySentence[] =
    "摄像头发送的是 H.265 视频，FLV 不能直接转发：请勾选视频的“是否重编码”，或把摄像头主码流改为 H.264";
// Where the installed ffmpeg muxes H.265 into FLV (6.1 and later: "enhanced RTMP"), copying works
// as far as the server goes, and the server decides.
inline constexpr char kHevcEnhancedSentence[] =
    "摄像头发送的是 H.265 视频：本机的 ffmpeg 可以直接转发，但只有支持增强型 RTMP（H.265）的直播服务器才接受，"
    "很多服务器不接受；服务器不支持时请勾选视频的“是否重编码”，或把摄像头主码流改为 H.264";
inline constexpr char kVideoCopySentence[] =
    "摄像头的视频编码 {1} 不能直接转发为 FLV：请勾选视频的“是否重编码”，或把摄像头主码流改为 H.264";
inline constexpr char kAudioCopySentence[] =
    "摄像头的音频编码 {1} 不能直接转发为 FLV：请勾选音频的“是否重编码”，或把摄像头音频改为 AAC";

// The stable ASCII name of a cause.
const char* FailureCauseName(FailureCause cause);
// 摄像头/信号源, 直播服务器, 本机 or 未知.
const char* FailureSideText(FailureSide side);
