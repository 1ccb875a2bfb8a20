#pragma once
#include <array>
#include <string>

// The values of one channel, named by their keys in config.ini. Text is UTF-8.
// The five check states and the list state (strAVState, VdTransCode, ISDelete) are kept apart.
struct ChannelSettings {
    std::string Name;
    std::string SignalName;   // source (camera) address
    std::string Adress;       // publish address
    std::string StreamName;
    int VdBitRate = 0;
    int VdRameRate = 0;
    int VdWidth = 0;
    int VdHeight = 0;
    std::string VdProFile;
    int AdChannel = 0;
    int AdSmpLinGrate = 0;
    int AdBitRate = 0;
    std::string strFilePath;  // watermark PNG; empty: no watermark
    std::string StrPucSeatPos;  // overlay position expression
    std::string strPucSeat;     // position word
    std::string strValue;       // horizontal offset as typed
    std::string strValue1;      // vertical offset as typed
};

// checkstate .. checkstate4: video on, video re-encode, copy timestamps, audio on, audio re-encode.
using CheckStates = std::array<int, 5>;
