#pragma once
#include <atomic>
#include <string>

// The publish side of a source check, without publishing: the address's shape, the server's
// name, its port, the RTMP handshake and a connect to the application, on the calling thread.
// Nothing is published, so a stream being relayed to the same address is not disturbed.
struct PublishCheck {
    std::string shown; // the address with password and stream name as ***
    std::string problem; // one Chinese sentence; empty when the server takes the application
    bool Ok() const { return problem.empty(); }
    // "发布地址 rtmp://host/live/***：..." for the operator.
    std::string Text() const;
};

// Ends within about limitMs (name resolution aside), or within 50 ms of *cancel becoming true.
PublishCheck CheckPublishSide(const std::string& address, int limitMs, const std::atomic<bool>* cancel = nullptr);
