#pragma once
#include <string>

// A channel's publish address read as the relay's ffmpeg reads an rtmp:// output: the server,
// the application it connects to and the stream name it publishes (the last path segment, its
// query included). Pure functions, no network; the wizard, the checks and the engine share them.
struct PublishAddress {
    std::string host; // without user-info; an IPv6 address without its brackets
    int port = 1935;
    std::string app; // "live", or "live/instance" as ffmpeg splits three or more segments
    std::string stream; // "name" or "name?key=..."; a secret, never shown
    std::string shown; // the address for the operator: password and stream name as ***
    std::string problem; // why ffmpeg cannot publish there, one Chinese sentence; empty when fine
};

PublishAddress ParsePublishAddress(const std::string& address);

// The sentence that says what the address lacks (a server, a valid port, an application or a
// stream name), or empty. The engine may log it at start-up for each stored channel.
std::string PublishAddressProblem(const std::string& address);
