#pragma once
#include <array>
#include <string>
#include <vector>

// The values of one channel, named by what they mean; settings/ChannelStore.cpp alone knows
// their keys in config.ini. Text is UTF-8. The five check states and the list state (state
// word, re-encode mark, deletion mark) are kept apart.
// Number is int where the values are used (the lenient decimal conversion of what is stored),
// std::string where they are shown as stored (ChannelRecordText).
template <class Number>
struct BasicChannelRecord {
    std::string name;
    std::string sourceUrl;   // camera address the child pulls
    std::string publishUrl;  // RTMP address the child publishes to
    std::string streamName;
    Number videoBitrate{};   // kbit/s
    Number frameRate{};
    Number width{};
    Number height{};
    std::string profile;     // H.264 profile
    Number audioChannels{};
    Number sampleRate{};     // Hz
    Number audioBitrate{};   // kbit/s
    std::string watermarkPath;       // PNG; empty: no watermark
    std::string watermarkPlacement;  // overlay position expression
    std::string watermarkCorner;     // position word
    std::string watermarkOffsetX;    // horizontal offset as typed
    std::string watermarkOffsetY;    // vertical offset as typed
    Number audioToAac{};      // 1: copied audio is re-encoded to AAC while video stays copied
    Number silentAudio{};     // 1: the output's audio is a silent AAC track (for cameras without audio)
    Number keyframeSeconds{}; // a re-encode's keyframe interval in seconds; 0: the encoder's own
    // 备用画面 while the camera is down: "0" off, "1" on, "2" on and kept after the channel gives
    // up; empty: the site's default (config.ini's standIn). See StandInMode.
    std::string standIn;
    std::string standInPicture;  // the stand-in's PNG; empty: a generated background
    // Further RTMP addresses the channel publishes to besides publishUrl, in their order, none
    // empty; at most kMaxExtraPublish (settings/ChannelStore.h).
    std::vector<std::string> extraPublish{};
    // Set by a face that showed extraPublish to the operator (the wizard's list, the page's
    // field): storing the record then makes the stored list exactly extraPublish, so that an
    // emptied list removes every address. Without it an empty list leaves the stored one alone.
    // Never stored: a loaded record has it unset.
    bool extraPublishShown = false;

    bool operator==(const BasicChannelRecord&) const = default;
};
using ChannelRecord = BasicChannelRecord<int>;
using ChannelRecordText = BasicChannelRecord<std::string>;

// Video on, video re-encode, copy timestamps, audio on, audio re-encode.
using CheckStates = std::array<int, 5>;
