#pragma once
#include "web/ConsoleHost.h"

// The channel form's requests as CarryOut carries them out (web/ConsoleEdits.cpp); row is the
// channel's row, not deleted, for all but Add. Owner thread only.
ConsoleReply AddFromForm(const ConsoleRequest& request, const ConsoleFace& face);
ConsoleReply EditFromForm(const ConsoleRequest& request, const ConsoleFace& face, int row);
ConsoleReply DeleteFromPage(const ConsoleFace& face, int row);
ConsoleReply SettingsOf(const ConsoleFace& face, int row);
