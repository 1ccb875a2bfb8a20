#pragma once
#include "ffmpeg/SourceCheck.h"
#include "settings/ChannelRecord.h"
#include "settings/ConfigStore.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The channel list as CSV: one row per channel under readable column names (Chinese or
// English, in any order). An import is planned first (every row checked by the wizard's rules,
// nothing written), optionally has its sources checked, and is then stored in one atomic
// replace of config.ini; the window, the command line and the web console share these steps.
// Texts are UTF-8; no report line ever holds a password.
namespace ChannelImport {

// One data row of the file and what becomes of it.
struct Row {
    int line = 0;                       // record number in the file, the header being 1
    ChannelRecord record;               // as it would be stored
    CheckStates checks{};
    std::string state;                  // kStateRunning or kStatePaused
    std::string problem;                // why it is not stored; empty: it can be
    std::vector<std::string> notes;     // what was changed or noticed
    std::optional<SourceResult> check;  // the source check, when one ran
    int id = -1;                        // where it was stored; -1 until then
    std::string transCode;              // the re-encode mark it was stored with
};

struct Plan {
    std::string error;                  // the whole file refused: unreadable, no usable header
    std::string encoding;               // "UTF-8" or "GBK"
    std::vector<std::string> unknownColumns;
    std::vector<Row> rows;
    bool rtspTcp = false;               // the site's RTSP-over-TCP switch, for the checks
    int nextId = 0;                     // what nextId becomes once stored

    int Storable() const;               // rows without a problem
};

// Reads the file's bytes and judges every row against the rules of the wizard and the channels
// config.ini holds now (duplicates of a stored source and publish pair, or of an earlier row).
// Writes nothing.
Plan PlanImport(std::string_view bytes, const ConfigStore& store);

// How many sources CheckSources checks at once.
constexpr int kParallelChecks = 4;
// Checks the source of every row without a problem, kParallelChecks at once, without a frame;
// a source that cannot be used refuses its row. shown(row) follows each row's check in row
// order; stop is asked every 100 ms, and true cancels what runs (false is returned then and the
// rows not checked are refused).
bool CheckSources(Plan& plan, const FfmpegLocation& ffmpeg, const std::function<void(const Row&)>& shown = {},
                  const std::function<bool()>& stop = {});

// Stores every row without a problem in one atomic replace: its values and check states, its
// state word and re-encode mark, under ids from nextId on that hold no key (read now), and the
// new nextId. Sets the rows' ids and plan.nextId. Returns whether the file was written (also
// true when there was nothing to store).
bool StoreImport(const ConfigStore& store, Plan& plan);

// One line for the row: "第 N 行（名称）：已导入" (or "可以导入" before storing) or
// "未导入：原因", its notes and its check's verdict; passwords masked.
std::string ReportLine(const Row& row);
// The header lines (encoding, unknown columns) and every row's line.
std::string Report(const Plan& plan);

// The stored channels as CSV (UTF-8 with byte order mark), in id order. Without passwords the
// password of each address's user-info (and of password-like query values) reads "***"; such
// a row is refused on import.
std::string ExportCsv(const ConfigStore& store, bool withPasswords);

}  // namespace ChannelImport
