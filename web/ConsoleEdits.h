#pragma once
#include "web/ConsoleHost.h"

// The channel form's requests as CarryOut carries them out (web/ConsoleEdits.cpp); row is the
// channel's row, not deleted, for all but Add. Owner thread only.
ConsoleReply AddFromForm(const ConsoleRequest& request, const ConsoleFace& face);
ConsoleReply EditFromForm(const ConsoleRequest& request, const ConsoleFace& face, int row);
ConsoleReply DeleteFromPage(const ConsoleFace& face, int row);
ConsoleReply SettingsOf(const ConsoleFace& face, int row);
// A CSV import from the page: form "csv" holds the file's text; without "store" = "1" only the
// report, with it the good rows stored in one replace and appended (those stored running queued)
// except the lines of "skip" (comma-separated: the rows whose source the page's check refused).
ConsoleReply ImportCsvFromForm(const ConsoleRequest& request, const ConsoleFace& face);
