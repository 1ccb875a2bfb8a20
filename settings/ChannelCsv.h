#pragma once
#include <string>
#include <string_view>
#include <vector>

// A channel list as CSV text: decoding what a spreadsheet wrote and writing what it opens.
// Only cells here; what the columns mean is the import's business (ffmpeg/ChannelImport).

using CsvRecords = std::vector<std::vector<std::string>>;

struct CsvText {
    CsvRecords records;     // every record in file order, the header first; cells in UTF-8
    std::string encoding;   // "UTF-8" or "GBK"
    std::string error;      // why the bytes are no CSV this program reads; records are empty then
};

// Decodes the bytes (UTF-8 with or without its byte order mark, else GBK/GB18030: what a
// spreadsheet on a Chinese Windows saves) and splits them into records by RFC 4180: quoted
// cells may hold commas, quotes ("") and line breaks. Blanks around an unquoted cell are
// dropped. An empty line is a record without cells, so that record numbers stay those a
// spreadsheet shows.
CsvText ReadCsv(std::string_view bytes);

// The records as UTF-8 CSV with a byte order mark (so that a spreadsheet on a Chinese Windows
// takes it for UTF-8), CRLF line ends, cells quoted where they need it.
std::string WriteCsv(const CsvRecords& records);
