#pragma once
#include "relay/RelayEngine.h"
#include "service/ChannelStatus.h"

#include <vector>

// The status of every listed, not deleted channel of the engine, as the endpoint publishes it.
// Shared by the window and the headless service; call on the engine's owner thread.
std::vector<ChannelStatus> StatusSnapshot(const RelayEngine& engine);
