#pragma once
#include "engine/RelayEngine.h"
#include "engine/RowCells.h"
#include "web/ChannelStatus.h"

#include <deque>
#include <vector>

// The status of every listed, not deleted channel of the engine, as the endpoint publishes it,
// with the texts the face keeps for each row. Shared by the window and the headless service;
// call on the engine's owner thread.
std::vector<ChannelStatus> StatusSnapshot(const RelayEngine& engine, const std::deque<RowCells>& texts);
