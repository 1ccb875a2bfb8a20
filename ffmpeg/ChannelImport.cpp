#include "ffmpeg/ChannelImport.h"

#include "ffmpeg/ChannelRules.h"
#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/SourceChecks.h"
#include "platform/SecretMask.h"
#include "settings/ChannelCsv.h"
#include "settings/ChannelStore.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <map>

namespace ChannelImport {
namespace {

// The columns, in the order an export writes them. A column added here (e.g. a further publish
// address) is read and written with the others.
enum Column {
    kName, kSource, kPublish, kTcp, kVideo, kSize, kBitrate, kFrameRate, kProfile, kAudio, kAudioBitrate,
    kSampleRate, kChannels, kTimestamps, kWatermark, kPosition, kOffsets, kState, kToAac, kSilence,
    kKeyframes, kExtraPublish, kStandIn, kStandInPicture, kColumnCount
};
// Each column's header as exported, then the other names it is known by.
const std::array<std::array<const char*, 4>, kColumnCount> kHeaders = {{
    {"名称", "name", "信号名称", nullptr},
    {"信号源地址", "source", "信号源", "source url"},
    {"发布地址", "publish", "publish url", nullptr},
    {"TCP", "rtsp over tcp", "TCP模式", nullptr},
    {"视频转码", "re-encode video", "video re-encode", "reencode video"},
    {"分辨率", "size", "视频尺寸", "resolution"},
    {"视频码率", "bitrate", "video bitrate", nullptr},
    {"帧率", "frame rate", "fps", nullptr},
    {"Profile", "profile", nullptr, nullptr},
    {"音频转码", "re-encode audio", "audio re-encode", "reencode audio"},
    {"音频码率", "audio bitrate", nullptr, nullptr},
    {"采样率", "sample rate", nullptr, nullptr},
    {"声道数", "channels", "audio channels", nullptr},
    {"复制时间戳", "copy timestamps", "timestamps", nullptr},
    {"水印", "watermark", "水印文件", nullptr},
    {"水印位置", "position", "watermark position", nullptr},
    {"水印偏移", "offsets", "watermark offsets", nullptr},
    {"状态", "state", nullptr, nullptr},
    {"音频转为AAC", "audio to aac", "aac", nullptr},
    {"无音频时补静音", "silent audio", "silence", nullptr},
    {"关键帧间隔", "keyframe interval", "keyframe seconds", "gop seconds"},
    {"其他推流地址", "extra_publish", "extra publish urls", "其他发布地址"},
    {"备用画面", "stand-in", "standin", nullptr},
    {"备用画面图片", "stand-in picture", "standin picture", nullptr},
}};
// The extra publish addresses share one cell, separated by blanks: an address never holds one.
const char kAddressSeparator = ' ';

const char kYes[] = "是", kNo[] = "否", kNone[] = "无";

// A header as compared: ASCII letters in lower case, without blanks, '-' and '_'.
std::string HeaderKey(std::string_view text)
{
    std::string key;
    for (char c : text)
        if (c != ' ' && c != '-' && c != '_' && c != '\t')
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

int ColumnOf(std::string_view header)
{
    const std::string key = HeaderKey(header);
    for (int column = 0; column < kColumnCount; ++column)
        for (const char* name : kHeaders[column])
            if (name && HeaderKey(name) == key)
                return column;
    return -1;
}

// 是 / 否 / 无 (the stream is left out) in either language; -1 for a word it is not.
int Choice(const std::string& cell)
{
    const std::string key = HeaderKey(cell);
    for (const char* yes : {kYes, "yes", "y", "true", "1", "on"})
        if (key == yes)
            return 1;
    for (const char* no : {kNo, "no", "n", "false", "0"})
        if (key == no)
            return 0;
    for (const char* none : {kNone, "none", "off", "不要"})
        if (key == none)
            return 2;
    return -1;
}

// A non-negative decimal number as an int; nullopt for anything else.
std::optional<int> Number(std::string_view text)
{
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoi(std::string(text));
}

// "1280x720" (also with X, * or ×).
std::optional<std::pair<int, int>> Size(const std::string& text)
{
    for (const char* mark : {"x", "X", "*", "×"}) {
        const std::size_t at = text.find(mark);
        if (at == std::string::npos)
            continue;
        const auto width = Number(text.substr(0, at)), height = Number(text.substr(at + std::string_view(mark).size()));
        if (width && height)
            return std::pair{*width, *height};
    }
    return std::nullopt;
}

// The row's cells by column; the problem of the first cell that cannot be read.
std::string ReadRow(const std::array<std::string, kColumnCount>& cell, Row& row, bool siteTcp)
{
    ChannelRecord& r = row.record;
    r = ChannelRules::NewChannelValues();
    row.checks = ChannelRules::NewChannelChecks();
    r.name = cell[kName], r.sourceUrl = cell[kSource], r.publishUrl = cell[kPublish];
    for (std::size_t at = 0; at < cell[kExtraPublish].size();) {
        const std::size_t end = std::min(cell[kExtraPublish].find_first_of(" \t", at), cell[kExtraPublish].size());
        if (end > at)
            r.extraPublish.push_back(cell[kExtraPublish].substr(at, end - at));
        at = end + 1;
    }
    r.profile = cell[kProfile].empty() ? r.profile : cell[kProfile];
    r.watermarkPath = cell[kWatermark];
    r.standInPicture = cell[kStandInPicture];
    if (!cell[kStandIn].empty()) {  // the word as stored, the choice's text, or 是 / 否
        const auto& choices = ChannelRules::kStandInChoices;
        const auto found = std::find_if(std::begin(choices), std::end(choices), [&](const auto& choice) {
            return cell[kStandIn] == choice.word || cell[kStandIn] == choice.text;
        });
        const int yesNo = found == std::end(choices) ? Choice(cell[kStandIn]) : -1;
        if (found == std::end(choices) && yesNo != 0 && yesNo != 1)
            return "备用画面须为 0、1、2、是、否 或“跟随全局设置”：" + cell[kStandIn];
        r.standIn = found != std::end(choices) ? found->word : yesNo == 1 ? "1" : "0";
    }
    const std::pair<Column, int*> numbers[] = {{kBitrate, &r.videoBitrate}, {kFrameRate, &r.frameRate},
                                               {kAudioBitrate, &r.audioBitrate}, {kSampleRate, &r.sampleRate},
                                               {kChannels, &r.audioChannels}, {kKeyframes, &r.keyframeSeconds}};
    for (const auto& [column, value] : numbers) {
        if (cell[column].empty())
            continue;
        const auto number = Number(cell[column]);
        if (!number)
            return std::string(kHeaders[column][0]) + "须为数字：" + cell[column];
        *value = *number;
    }
    if (!cell[kSize].empty()) {
        const auto size = Size(cell[kSize]);
        if (!size)
            return "分辨率须写成 宽x高（如 1280x720）：" + cell[kSize];
        r.width = size->first, r.height = size->second;
    }
    const std::pair<Column, int> streams[] = {{kVideo, 0}, {kAudio, 3}};
    for (const auto& [column, on] : streams) {
        if (cell[column].empty())
            continue;
        const int choice = Choice(cell[column]);
        if (choice < 0)
            return std::string(kHeaders[column][0]) + "须为 是、否 或 无（不要该路）：" + cell[column];
        row.checks[on] = choice != 2;
        row.checks[on + 1] = choice == 1;
    }
    for (Column column : {kTimestamps, kTcp, kToAac, kSilence}) {
        const int choice = cell[column].empty() ? -2 : Choice(cell[column]);
        if (choice == -1 || choice == 2)
            return std::string(kHeaders[column][0]) + "须为 是 或 否：" + cell[column];
        if (column == kTimestamps && choice >= 0)
            row.checks[2] = choice;
        if (column != kTimestamps && column != kTcp && choice >= 0)
            (column == kToAac ? r.audioToAac : r.silentAudio) = choice;
        // RTSP over TCP is the site's switch, not the channel's: a row that asks otherwise is
        // stored without it and told.
        if (column == kTcp && choice >= 0 && (choice == 1) != siteTcp && r.sourceUrl.rfind("rtsp://", 0) == 0)
            row.notes.push_back(std::string("TCP 列为“") + (choice ? kYes : kNo) +
                                "”，但“TCP模式拉监控视频”是对所有信号的设置，本机为“" + (siteTcp ? kYes : kNo) +
                                "”：未按行保存");
    }
    r.watermarkCorner = cell[kPosition].empty() ? r.watermarkCorner : cell[kPosition];
    if (!cell[kOffsets].empty()) {
        const std::size_t comma = cell[kOffsets].find(',');
        r.watermarkOffsetX = cell[kOffsets].substr(0, comma);
        r.watermarkOffsetY = comma == std::string::npos ? "" : cell[kOffsets].substr(comma + 1);
    }
    const auto placement = ChannelRules::WatermarkPlacement(r.watermarkCorner, r.watermarkOffsetX, r.watermarkOffsetY);
    if (!placement)
        return "未知的水印位置：" + r.watermarkCorner + "（左上、居中、右上、左下或右下）";
    r.watermarkPlacement = *placement;
    const std::string state = HeaderKey(cell[kState]);
    if (state.empty() || state == kStatePaused || state == "暂停" || state == "paused")
        row.state = kStatePaused;
    else if (state == kStateRunning || state == "运行" || state == "running")
        row.state = kStateRunning;
    else
        return "未知的状态：" + cell[kState] + "（运行中 或 暂停中）";
    if (cell[kSource].find("***") != std::string::npos || cell[kPublish].find("***") != std::string::npos ||
        cell[kExtraPublish].find("***") != std::string::npos)
            return "地址中的密码在导出时被隐去（***）：请填入真实密码，或导出时选择包含密码";
    if (const auto advice = ChannelRules::AdvisePassword(r.sourceUrl)) {
        r.sourceUrl = advice->encodedUrl;
        row.notes.push_back("信号源地址的用户名或密码含有 @ # / ? : 等字符，已按百分号编码保存");
    }
    return ChannelRules::ChannelProblem(r, row.checks);
}

std::string PairKey(const std::string& source, const std::string& publish)
{
    return source + '\n' + publish;
}
}  // namespace

int Plan::Storable() const
{
    return static_cast<int>(std::count_if(rows.begin(), rows.end(), [](const Row& row) { return row.problem.empty(); }));
}

Plan PlanImport(std::string_view bytes, const ConfigStore& store)
{
    Plan plan;
    CsvText csv = ReadCsv(bytes);
    plan.encoding = csv.encoding;
    if (!csv.error.empty() || csv.records.empty()) {
        plan.error = csv.error.empty() ? "文件是空的" : csv.error;
        return plan;
    }
    std::array<int, kColumnCount> at{};
    at.fill(-1);
    const std::vector<std::string>& header = csv.records[0];
    for (std::size_t i = 0; i < header.size(); ++i) {
        const int column = ColumnOf(header[i]);
        if (column < 0 || at[column] >= 0)
            plan.unknownColumns.push_back(header[i].empty() ? "第 " + std::to_string(i + 1) + " 列（无列名）" : header[i]);
        else
            at[column] = static_cast<int>(i);
    }
    if (at[kName] < 0 || at[kSource] < 0 || at[kPublish] < 0) {
        plan.error = "第 1 行须是列名，至少有 名称、信号源地址、发布地址 三列（或 name、source、publish）";
        return plan;
    }
    plan.rtspTcp = StoredRtspTcp(store);
    std::map<std::string, std::string> taken;  // source and publish -> who has them
    for (const ScannedChannel& channel : ListStoredChannels(store)) {
        const LoadedChannel stored = LoadChannel(store, channel.id);
        taken.emplace(PairKey(stored.record.sourceUrl, stored.record.publishUrl), "已有信号“" + channel.name + "”");
    }
    for (std::size_t i = 1; i < csv.records.size(); ++i) {
        const std::vector<std::string>& record = csv.records[i];
        if (std::all_of(record.begin(), record.end(), [](const std::string& cell) { return cell.empty(); }))
            continue;
        std::array<std::string, kColumnCount> cells;
        for (int column = 0; column < kColumnCount; ++column)
            if (at[column] >= 0 && static_cast<std::size_t>(at[column]) < record.size())
                cells[column] = record[static_cast<std::size_t>(at[column])];
        Row& row = plan.rows.emplace_back();
        row.line = static_cast<int>(i) + 1;
        row.problem = ReadRow(cells, row, plan.rtspTcp);
        if (!row.problem.empty())
            continue;
        const auto [where, added] = taken.emplace(PairKey(row.record.sourceUrl, row.record.publishUrl),
                                                  "第 " + std::to_string(row.line) + " 行");
        if (!added)
            row.problem = "与" + where->second + "的信号源地址和发布地址都相同";
    }
    return plan;
}

bool CheckSources(Plan& plan, const FfmpegLocation& ffmpeg, const std::function<void(const Row&)>& shown,
                  const std::function<bool()>& stop)
{
    std::vector<Row*> checked;
    std::vector<SourceRequest> requests;
    for (Row& row : plan.rows) {
        if (!row.problem.empty())
            continue;
        SourceRequest& request = requests.emplace_back();
        request.url = row.record.sourceUrl;
        request.rtspTcp = plan.rtspTcp;
        request.checks = row.checks;
        request.settings = row.record;
        request.measureKeyframes = false;  // hundreds of rows: the wizard's check measures it
        request.grabFrame = false;
        request.retryTimedOut = true;  // a camera slow to answer once is not yet unusable
        checked.push_back(&row);
    }
    const bool whole = RunChecksInOrder(requests, ffmpeg, kParallelChecks, [&](std::size_t i, const SourceResult& result) {
        Row& row = *checked[i];
        row.check = result;
        if (!result.Usable())
            row.problem = "检测：" + result.Summary();
        if (shown)
            shown(row);
    }, stop);
    for (Row* row : checked)
        if (!row->check)
            row->problem = "未检测（检测被中止）";
    return whole;
}

bool StoreImport(const ConfigStore& store, Plan& plan)
{
    const int stored = std::max(DecimalValue(store.GetValue("nextId")), 0);
    int id = stored;
    ConfigStore::KeyValues writes;
    for (Row& row : plan.rows) {
        if (!row.problem.empty())
            continue;
        id = FirstFreeChannelId(store, id);
        if (id == INT_MAX) {
            row.problem = "信号编号已用尽";
            continue;
        }
        row.id = id++;
        const ConfigStore::KeyValues channel = ChannelWrites(row.id, row.record, row.checks);
        writes.insert(writes.end(), channel.begin(), channel.end());
        writes.push_back(ChannelStateWrite(row.id, row.state));
        row.transCode = BuildCommandLine(row.checks, row.record).reencodesVideo ? kYes : kNo;
        writes.push_back(ChannelTransCodeWrite(row.id, row.transCode));
    }
    plan.nextId = std::max(id, stored);
    if (writes.empty())
        return true;
    writes.emplace_back("nextId", std::to_string(plan.nextId));
    if (store.SetValues(writes))
        return true;
    for (Row& row : plan.rows)
        row.id = -1;
    return false;
}

std::string ReportLine(const Row& row)
{
    std::string line = "第 " + std::to_string(row.line) + " 行（" + row.record.name + "）：";
    if (!row.problem.empty())
        line += "未导入：" + row.problem;
    else
        line += row.id >= 0 ? "已导入" : "可以导入";
    for (const std::string& note : row.notes)
        line += "；" + note;
    if (row.check && row.problem.empty())
        line += "；检测：" + row.check->Summary();
    return MaskPasswords(line);
}

std::string Report(const Plan& plan)
{
    if (!plan.error.empty())
        return plan.error + "\n";
    std::string text = "编码：" + plan.encoding + "，" + std::to_string(plan.rows.size()) + " 行信号，其中 " +
                       std::to_string(plan.Storable()) + " 行可以导入\n";
    if (!plan.unknownColumns.empty()) {
        text += "未知的列（已忽略）：";
        for (std::size_t i = 0; i < plan.unknownColumns.size(); ++i)
            text += (i ? "、" : "") + plan.unknownColumns[i];
        text += "\n";
    }
    for (const Row& row : plan.rows)
        text += ReportLine(row) + "\n";
    return MaskPasswords(text);
}

std::string ExportCsv(const ConfigStore& store, bool withPasswords)
{
    CsvRecords records(1);
    for (const auto& names : kHeaders)
        records[0].emplace_back(names[0]);
    const bool tcp = StoredRtspTcp(store);
    const auto choice = [](int on, int reencode) { return !on ? kNone : reencode ? kYes : kNo; };
    for (const ScannedChannel& channel : ListStoredChannels(store)) {
        const LoadedChannel stored = LoadChannel(store, channel.id);
        const ChannelRecord& r = stored.record;
        const auto address = [withPasswords](const std::string& url) { return withPasswords ? url : MaskPasswords(url); };
        std::vector<std::string>& row = records.emplace_back(kColumnCount);
        row[kName] = r.name, row[kSource] = address(r.sourceUrl), row[kPublish] = address(r.publishUrl);
        row[kTcp] = r.sourceUrl.rfind("rtsp://", 0) == 0 ? (tcp ? kYes : kNo) : "";
        row[kVideo] = choice(stored.checks[0], stored.checks[1]);
        row[kSize] = std::to_string(r.width) + "x" + std::to_string(r.height);
        row[kBitrate] = std::to_string(r.videoBitrate), row[kFrameRate] = std::to_string(r.frameRate);
        row[kProfile] = r.profile;
        row[kAudio] = choice(stored.checks[3], stored.checks[4]);
        row[kAudioBitrate] = std::to_string(r.audioBitrate), row[kSampleRate] = std::to_string(r.sampleRate);
        row[kChannels] = std::to_string(r.audioChannels);
        row[kTimestamps] = stored.checks[2] ? kYes : kNo;
        row[kWatermark] = r.watermarkPath, row[kPosition] = r.watermarkCorner;
        if (!r.watermarkOffsetX.empty() || !r.watermarkOffsetY.empty())
            row[kOffsets] = r.watermarkOffsetX + "," + r.watermarkOffsetY;
        row[kState] = IsStoredRunning(stored.state) ? kStateRunning : kStatePaused;
        row[kToAac] = r.audioToAac ? kYes : kNo, row[kSilence] = r.silentAudio ? kYes : kNo;
        row[kKeyframes] = std::to_string(r.keyframeSeconds);  // 0, not empty: empty imports as a new channel's
        for (const auto& choice : ChannelRules::kStandInChoices)
            if (r.standIn == choice.word)
                row[kStandIn] = choice.text;
        row[kStandInPicture] = r.standInPicture;
        for (const std::string& extra : r.extraPublish)
            row[kExtraPublish] += (row[kExtraPublish].empty() ? "" : std::string(1, kAddressSeparator)) + address(extra);
    }
    return WriteCsv(records);
}

}  // namespace ChannelImport
