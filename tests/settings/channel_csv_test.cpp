// CSV text as spreadsheets write it: the encodings, RFC 4180 quoting, record numbers.
#include "settings/ChannelCsv.h"
#include "settings/TextCodec.h"

#include <gtest/gtest.h>


// Each file's bytes and the records read from them (cells joined by '|', records by ';').
TEST(ChannelCsv, EncodingsQuotingAndRecordNumbers)
{
    // "大门" and "后门" in GBK.
    const std::string gbkNames = "\xB4\xF3\xC3\xC5,\xBA\xF3\xC3\xC5\r\n";
    const struct { std::string bytes; const char* records; const char* encoding; } rows[] = {
        {"\xEF\xBB\xBF名称,source\r\n大门,rtsp://a\r\n", "名称|source;大门|rtsp://a", "UTF-8"},
        {"名称,source\n大门,rtsp://a", "名称|source;大门|rtsp://a", "UTF-8"},
        {gbkNames, "大门|后门", "GBK"},
        // A quoted cell keeps its commas, quotes and line breaks; blanks around plain cells go.
        {"a,\"b, \"\"c\"\"\r\nd\",  e \r\n", "a|b, \"c\"\r\nd|e", "UTF-8"},
        // An empty line keeps its number, so that the next record is the spreadsheet's row 3.
        {"a,b\r\n\r\nc,d\r\n", "a|b;;c|d", "UTF-8"},
        {"a,b\n,\nc,d\n", "a|b;|;c|d", "UTF-8"},
    };
    for (const auto& row : rows) {
        const CsvText csv = ReadCsv(row.bytes);
        std::string joined;
        for (std::size_t r = 0; r < csv.records.size(); ++r) {
            joined += r ? ";" : "";
            for (std::size_t c = 0; c < csv.records[r].size(); ++c)
                joined += (c ? "|" : "") + csv.records[r][c];
        }
        EXPECT_EQ(joined, row.records) << row.bytes;
        EXPECT_EQ(csv.encoding, row.encoding) << row.bytes;
        EXPECT_EQ(csv.error, "") << row.bytes;
    }
    EXPECT_NE(ReadCsv("a,\"b\r\n").error.find("引号不成对"), std::string::npos);
    EXPECT_NE(ReadCsv("a,\xFF\xFF\xFF\r\n").error, "");
}

// What is written reads back cell for cell, the awkward cells included, behind a BOM.
TEST(ChannelCsv, WrittenRecordsReadBack)
{
    const CsvRecords records = {{"名称", "x"}, {"a,b", "\"q\""}, {"line\r\nbreak", " blank "}, {"", "后门"}};
    const std::string text = WriteCsv(records);
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF名称,x\r\n", 0), 0u) << text;
    EXPECT_EQ(ReadCsv(text).records, records);
}
