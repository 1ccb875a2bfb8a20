#pragma once
#include "ffmpeg/CommandBuilder.h"

#include <string>
#include <vector>

// A channel with several publish addresses runs one puller and one pusher per address. The
// puller pulls the camera once, encodes once (or copies) and writes MPEG-TS to one loopback UDP
// port per address; it never learns whether anyone reads them, so no pusher can stop it. Each
// pusher reads its port and copies the stream to its address as FLV, like a channel's single
// child: it fails, prints and is diagnosed on its own. Pure builders of ffmpeg arguments
// (program name not included); the engine chooses the ports, runs and watches the children.

// The puller: the channel's input side, video and audio choices, picture and timestamps as
// LaunchArguments(plan) has them, written through the tee muxer to udp://127.0.0.1:PORT for
// each port. Copied audio is encoded to AAC. Its status line says "size=N/A" and
// "bitrate=N/A" (the tee output counts no bytes); "time=" advances while it is live.
std::vector<std::string> PullerArguments(const LaunchPlan& plan, const std::vector<int>& ports);
std::string PullerLine(const LaunchPlan& plan, const std::vector<int>& ports);

// What a pusher reads: the port on 127.0.0.1 only. The source address to give the failure
// diagnosis for the pusher's lines.
std::string PusherInput(int port);

// The pusher of one address: reads PusherInput(port), copies every stream to output as FLV. It
// ends by itself about 5 s after the puller stops sending. Its status line has the real size
// and bitrate of its own address.
std::vector<std::string> PusherArguments(int port, const std::string& output);
std::string PusherLine(int port, const std::string& output);
