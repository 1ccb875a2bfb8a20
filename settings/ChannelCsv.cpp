#include "settings/ChannelCsv.h"

#include "settings/TextCodec.h"

#include <csv.h>

namespace {
constexpr std::string_view kBom = "\xEF\xBB\xBF";

struct Collector {
    CsvRecords records;
    std::vector<std::string> cells;
    bool afterCr = false;  // the last record ended at a CR
};

void OnCell(void* data, std::size_t size, void* sink)
{
    static_cast<Collector*>(sink)->cells.emplace_back(data ? static_cast<const char*>(data) : "", size);
}

void OnRecordEnd(int end, void* sink)
{
    // Every unquoted line end is reported, so that an empty line keeps its number; the LF of
    // a CRLF is no line of its own.
    auto* collector = static_cast<Collector*>(sink);
    const bool lfOfCrLf = collector->afterCr && end == CSV_LF && collector->cells.empty();
    collector->afterCr = end == CSV_CR;
    if (lfOfCrLf || (end == -1 && collector->cells.empty()))
        return;
    collector->records.push_back(std::move(collector->cells));
    collector->cells.clear();
}
}  // namespace

CsvText ReadCsv(std::string_view bytes)
{
    CsvText result;
    std::string text;
    if (bytes.substr(0, kBom.size()) == kBom)
        bytes.remove_prefix(kBom.size());
    if (TextCodec::IsValidUtf8(bytes)) {
        text = bytes;
        result.encoding = "UTF-8";
    } else if (TextCodec::Gb18030ToUtf8(bytes, text)) {
        result.encoding = "GBK";
    } else {
        result.error = "文件既不是 UTF-8 也不是 GBK 编码的文本";
        return result;
    }
    csv_parser parser;
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL | CSV_APPEND_NULL) != 0) {
        result.error = "内存不足";
        return result;
    }
    Collector collector;
    const bool parsed = csv_parse(&parser, text.data(), text.size(), OnCell, OnRecordEnd, &collector) == text.size() &&
                        csv_fini(&parser, OnCell, OnRecordEnd, &collector) == 0;
    if (!parsed)
        result.error = "CSV 格式错误：第 " + std::to_string(collector.records.size() + 1) +
                       " 行的引号不成对（含逗号、引号或换行的内容须整个放在双引号中，其中的引号写两遍）";
    csv_free(&parser);
    if (parsed)
        result.records = std::move(collector.records);
    return result;
}

std::string WriteCsv(const CsvRecords& records)
{
    std::string out(kBom);
    for (const auto& record : records) {
        for (std::size_t i = 0; i < record.size(); ++i) {
            const std::string& cell = record[i];
            if (i)
                out += ',';
            if (cell.find_first_of(",\"\r\n") == std::string::npos && (cell.empty() || (cell.front() != ' ' && cell.back() != ' '))) {
                out += cell;
                continue;
            }
            out += '"';
            for (char c : cell)
                out += c == '"' ? std::string("\"\"") : std::string(1, c);
            out += '"';
        }
        out += "\r\n";
    }
    return out;
}
