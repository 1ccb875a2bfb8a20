#pragma once
#include "engine/RelayEngine.h"
#include "web/ChannelStatus.h"

#include <vector>

// The status of every listed, not deleted channel of the engine, as the endpoint publishes it,
// with the texts of its cells as the window shows them. Shared by the window and the headless
// service; call on the engine's owner thread.
std::vector<ChannelStatus> StatusSnapshot(const RelayEngine& engine);
