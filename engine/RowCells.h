#pragma once
#include "engine/RelayView.h"

#include <string>

// The texts of one channel row as the operator sees them: the five columns of the window's
// list and of the web console's table. The engine keeps one per row and applies its own row
// events to it; both faces read it from there, so that they show the same words. Owner thread.
struct RowCells {
    std::string name, bitrate, state, transCode, size;
    // Not a column: why a live row does badly (the window's tooltip and colour, the page's row);
    // empty while it does well or does not relay.
    std::string health;

    void Apply(const RowEvent& event);
};
