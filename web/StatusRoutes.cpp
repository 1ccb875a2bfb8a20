// The status server's routes: the metrics and status answers, the web console's page and JSON
// API, the Host rule, the control token, and the limits of the preview pictures.
#include "web/StatusServer.h"

#include "platform/StatusLog.h"
#include "settings/ConfigLint.h"
#include "ffmpeg/ChannelImport.h"
#include "settings/ConfigStore.h"
#include "web/ChannelForm.h"
#include "web/ConsoleAccess.h"
#include "web/StatusFormat.h"
#include "web/WebAssets.h"

#include <algorithm>
#include <charconv>
#include <random>

#include <microhttpd.h>

namespace {

using StatusFormat::JsonString;

constexpr auto kRefusalLogPeriod = std::chrono::minutes(1);

// A JSON error answer's body: {"error":"<Chinese sentence>"}.
std::string JsonError(const std::string& text)
{
    return "{\"error\":" + JsonString(text) + "}\n";
}

// The id of "/api/channels/<id>/<action>", with the action; nullopt for any other path.
std::optional<std::pair<int, std::string_view>> ChannelPath(std::string_view path)
{
    constexpr std::string_view prefix = "/api/channels/";
    if (path.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    path.remove_prefix(prefix.size());
    int id = -1;
    const auto [end, error] = std::from_chars(path.data(), path.data() + path.size(), id);
    if (error != std::errc() || id < 0 || end == path.data() + path.size() || *end != '/')
        return std::nullopt;
    return std::pair{id, path.substr(static_cast<std::size_t>(end - path.data()) + 1)};
}

}  // namespace

bool StatusServer::HostAccepted(const Request& request) const
{
    // A browser sends the name it was asked for. Over loopback only this machine's names and
    // the operator's count, whatever address was bound: a rebinding page on this machine is
    // refused. From elsewhere, once the operator has named the accepted names, those and IP
    // addresses. A request without Host (HTTP/1.0) comes from no browser and is let through.
    if (!request.host.data())
        return true;
    if (request.loopback)
        return ConsoleAccess::LoopbackHost(request.host, m_nPort) || ConsoleAccess::NamedHost(request.host, m_hostNames);
    return m_hostNames.empty() || ConsoleAccess::NamedHost(request.host, m_hostNames) ||
           ConsoleAccess::AddressHost(request.host);
}

StatusServer::Answer StatusServer::Respond(const Request& request)
{
    if (!HostAccepted(request))
        return {MHD_HTTP_MISDIRECTED_REQUEST,
                JsonError("只接受以本机地址访问（Host 须为 127.0.0.1、localhost 或 [::1]，带端口 " +
                          std::to_string(m_nPort) + "）" +
                          (m_hostNames.empty() ? std::string() : "或 --status-host 给出的名称"))};
    const std::string_view path = request.path;
    // HEAD is a GET whose body the library leaves out.
    if (request.method == "POST" && path.substr(0, 5) == "/api/")
        return CommandAnswer(request, path.substr(5));
    if (request.method != "GET" && request.method != "HEAD")
        return Error(MHD_HTTP_NOT_FOUND);
    if (const WebAsset* asset = FindWebAsset(path == "/" ? "/index.html" : path))
        return {MHD_HTTP_OK, std::string(asset->body), asset->contentType};
    // What is read without the token shows no stream key.
    const bool reader = !HoldsToken(request);
    const auto masked = [reader](Answer answer) {
        if (reader)
            answer.body = ConsoleAccess::MaskStreamKeys(std::move(answer.body));
        return answer;
    };
    if (path == "/metrics")
        return masked({MHD_HTTP_OK, StatusFormat::Metrics(Current(), CAMRELAY_VERSION), StatusFormat::kMetricsContentType});
    if (path == "/status")
        return masked(request.since.data() ? PageStatusAnswer(request.since) : StatusAnswer());
    if (path == "/api/log")
        return masked(LogAnswer());
    if (path == "/api/new-channel") {
        Answer refusal;
        return Authorized(request, refusal) ? Answer{MHD_HTTP_OK, ChannelForm::NewChannelJson()} : refusal;
    }
    if (path == "/api/channels.csv" || path == "/api/channels-with-passwords.csv") {
        Answer refusal;
        return Authorized(request, refusal) ? CsvExportAnswer(path != "/api/channels.csv") : refusal;
    }
    if (path.substr(0, 12) == "/api/checks/")
        return CheckFrame(path.substr(12));
    if (const auto channel = ChannelPath(path)) {
        // What the edit form shows is for the token's holder only (its passwords are masked); the
        // owner knows a channel added a moment ago.
        if (channel->second == "settings") {
            Answer refusal;
            return Authorized(request, refusal) ? OwnerAnswer({ConsoleRequest::Kind::Settings, channel->first}) : refusal;
        }
        if (!Listed(channel->first))
            return {MHD_HTTP_NOT_FOUND, JsonError("没有编号为 " + std::to_string(channel->first) + " 的信号")};
        if (channel->second == "details")
            return OwnerAnswer({ConsoleRequest::Kind::Details, channel->first, CheckJson(channel->first)}, reader,
                               request.address);
        if (channel->second == "frame.jpg")
            return PreviewAnswer(channel->first);
    }
    return Error(MHD_HTTP_NOT_FOUND);
}

StatusFormat::StatusHeader StatusServer::Header() const
{
    StatusFormat::StatusHeader header;
    header.version = CAMRELAY_VERSION;
    header.dataDir = m_console.dataDir;
    header.face = m_console.face;
    header.uptimeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    header.control = !m_console.token.empty() && m_console.host;
    header.reload = header.control && m_console.host->CanReload();
    header.preview = static_cast<bool>(m_frames);
    const ConfigStore store(m_console.dataDir);
    header.unsaved = store.UnsavedWarning();
    header.configWarnings = ConfigWarnings(store.IniPath());
    return header;
}

StatusServer::Answer StatusServer::StatusAnswer() const
{
    return {MHD_HTTP_OK, StatusFormat::Json(Current(), Header()), StatusFormat::kJsonContentType};
}

// The page's form: what changed since the revision it names (0 or anything unknown: all of it).
StatusServer::Answer StatusServer::PageStatusAnswer(std::string_view since)
{
    std::uint64_t revision = 0;
    std::from_chars(since.data(), since.data() + since.size(), revision);
    std::shared_ptr<const Snapshot> snapshot;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        snapshot = m_snapshot;
    }
    const StatusFormat::StatusHeader header = Header();
    std::lock_guard<std::mutex> lock(m_changesMutex);
    if (snapshot != m_changesTaken) {
        m_changes.Take(snapshot->channels);
        m_changesTaken = std::move(snapshot);
    }
    return {MHD_HTTP_OK, m_changes.Json(revision, header), StatusFormat::kJsonContentType};
}

StatusServer::Answer StatusServer::LogAnswer() const
{
    return {MHD_HTTP_OK, "{\"lines\":" +
                             StatusFormat::JsonLines(m_console.log ? m_console.log->Recent() : std::vector<std::string>()) +
                             "}\n"};
}

bool StatusServer::Listed(int id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto& channels = m_snapshot->channels;
    return std::any_of(channels.begin(), channels.end(), [id](const ChannelStatus& c) { return c.id == id; });
}

bool StatusServer::HoldsToken(const Request& request) const
{
    return !m_console.token.empty() &&
           ConsoleAccess::TokensEqual(ConsoleAccess::BearerToken(request.authorization), m_console.token);
}

bool StatusServer::Authorized(const Request& request, Answer& refusal)
{
    if (m_console.token.empty() || !m_console.host) {
        refusal = {MHD_HTTP_FORBIDDEN,
                   JsonError("网页控制台只读：CamRelay 启动时没有给出 --control-token-file，不能从网页运行、暂停或管理信号")};
        return false;
    }
    if (HoldsToken(request))
        return true;
    refusal = {MHD_HTTP_UNAUTHORIZED, JsonError("控制令牌不对或没有给出"), "application/json",
               MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"CamRelay\""};
    // Once a minute at most, so that a client guessing tokens cannot flood the log.
    const auto now = std::chrono::steady_clock::now();
    if (m_unloggedRefusals >= 0 && now - m_lastRefusalLog < kRefusalLogPeriod) {
        ++m_unloggedRefusals;
        return false;
    }
    if (m_console.log)
        m_console.log->Write("网页命令被拒绝：控制令牌不对（来自 " + request.address + "）" +
                                 (m_unloggedRefusals > 0
                                      ? "；上次记录后又拒绝 " + std::to_string(m_unloggedRefusals) + " 次"
                                      : std::string()),
                             StatusLog::kWarning);
    m_lastRefusalLog = now;
    m_unloggedRefusals = 0;
    return false;
}

StatusServer::Answer StatusServer::CommandAnswer(const Request& request, std::string_view action)
{
    Answer refusal;
    if (!Authorized(request, refusal))
        return refusal;
    using Kind = ConsoleRequest::Kind;
    static constexpr std::pair<std::string_view, Kind> kBulk[] = {
        {"run-all", Kind::RunAll}, {"pause-all", Kind::PauseAll}, {"reload", Kind::Reload}};
    for (const auto& [name, kind] : kBulk)
        if (action == name)
            return OwnerAnswer({kind});
    const auto form = [&request] { return request.form ? *request.form : std::map<std::string, std::string>(); };
    if (action == "channels")
        return OwnerAnswer({Kind::Add, -1, "null", form()});
    if (action == "check")
        return CheckAnswer(request);
    if (action == "import-csv") {
        const auto fields = form();
        const auto flag = [&fields](const char* name) { const auto f = fields.find(name); return f != fields.end() && f->second == "1"; };
        return flag("check") && !flag("store") ? CsvCheckAnswer(request) : OwnerAnswer({Kind::ImportCsv, -1, "null", fields});
    }
    static constexpr std::pair<std::string_view, Kind> kOne[] = {
        {"run", Kind::Run}, {"pause", Kind::Pause}, {"edit", Kind::Edit}, {"delete", Kind::Delete}};
    if (const auto channel = ChannelPath(request.path))
        for (const auto& [name, kind] : kOne)
            if (channel->second == name)
                return OwnerAnswer({kind, channel->first, "null", kind == Kind::Edit ? form() : std::map<std::string, std::string>()});
    return {MHD_HTTP_NOT_FOUND, JsonError("没有这个命令")};
}

StatusServer::Answer StatusServer::OwnerAnswer(ConsoleRequest request, bool reader, const std::string& address)
{
    if (!m_console.host)
        return {MHD_HTTP_SERVICE_UNAVAILABLE, JsonError("此程序没有网页控制台")};
    const std::shared_ptr<Waiting> waiting = m_waiting;
    {
        // Readers without the token leave places for the commands, and each address few of theirs.
        std::lock_guard<std::mutex> lock(waiting->mutex);
        if (waiting->ownerRequests >= kMaxOwnerRequests ||
            (reader && (waiting->readerRequests >= kMaxReaderRequests ||
                        waiting->readersByAddress[address] >= kReaderRequestsPerAddress)))
            return {MHD_HTTP_SERVICE_UNAVAILABLE, JsonError("程序正忙，请稍后再试"), "application/json",
                    MHD_HTTP_HEADER_RETRY_AFTER, "1"};
        ++waiting->ownerRequests;
        if (reader) {
            ++waiting->readerRequests;
            ++waiting->readersByAddress[address];
        }
    }
    Answer answer;
    answer.later = [host = m_console.host, waiting, request = std::move(request), reader,
                    address](std::function<void(Answer)> deliver) {
        host->Submit(request, [waiting, reader, address, deliver = std::move(deliver)](ConsoleReply reply) {
            {
                std::lock_guard<std::mutex> lock(waiting->mutex);
                --waiting->ownerRequests;
                if (reader) {
                    --waiting->readerRequests;
                    if (--waiting->readersByAddress[address] == 0)
                        waiting->readersByAddress.erase(address);
                }
            }
            deliver({reply.status, reader ? ConsoleAccess::MaskStreamKeys(std::move(reply.json)) : std::move(reply.json)});
        });
    };
    return answer;
}

StatusServer::Answer StatusServer::PreviewAnswer(int id)
{
    if (!m_frames)
        return {MHD_HTTP_NOT_FOUND, JsonError("预览不可用：本程序没有接入信号源检测")};
    const auto answerOf = [](const FrameAnswer& frame) -> Answer {
        if (frame.jpeg.empty())
            return {MHD_HTTP_BAD_GATEWAY, JsonError(frame.error.empty() ? "检测没有得到画面" : frame.error)};
        return {MHD_HTTP_OK, frame.jpeg, "image/jpeg"};
    };
    const std::shared_ptr<Waiting> waiting = m_waiting;
    {
        std::lock_guard<std::mutex> lock(waiting->mutex);
        Preview& preview = waiting->previews[id];
        const auto now = std::chrono::steady_clock::now();
        // One check per channel per period, counted from the end of the last one, so a check that
        // took the whole period is not started again at once: within it the last answer is given
        // again, and while one runs a request is refused.
        if (preview.running || (preview.last && now - preview.finished < kPreviewPeriod)) {
            if (preview.last)
                return answerOf(*preview.last);
            return {MHD_HTTP_TOO_MANY_REQUESTS, JsonError("该信号的预览正在获取，每 10 秒最多一次，请稍后再试"),
                    "application/json", MHD_HTTP_HEADER_RETRY_AFTER, "10"};
        }
        if (waiting->previewsRunning >= kMaxPreviews)
            return {MHD_HTTP_SERVICE_UNAVAILABLE, JsonError("已有 2 个预览正在获取，请稍后再试"), "application/json",
                    MHD_HTTP_HEADER_RETRY_AFTER, "5"};
        preview.running = true;
        ++waiting->previewsRunning;
    }
    Answer answer;
    answer.later = [frames = m_frames, waiting, id, answerOf](std::function<void(Answer)> deliver) {
        frames(id, [waiting, id, answerOf, deliver = std::move(deliver)](FrameAnswer frame) {
            {
                std::lock_guard<std::mutex> lock(waiting->mutex);
                Preview& preview = waiting->previews[id];
                preview.running = false;
                preview.finished = std::chrono::steady_clock::now();
                preview.last = frame;
                preview.at = std::time(nullptr);
                --waiting->previewsRunning;
            }
            deliver(answerOf(frame));
        });
    };
    return answer;
}

StatusServer::Answer StatusServer::CheckAnswer(const Request& request)
{
    if (!m_addressCheck)
        return {MHD_HTTP_NOT_FOUND, JsonError("检测不可用：本程序没有接入信号源检测")};
    const std::shared_ptr<Waiting> waiting = m_waiting;
    {
        std::lock_guard<std::mutex> lock(waiting->mutex);
        if (waiting->previewsRunning >= kMaxPreviews)
            return {MHD_HTTP_SERVICE_UNAVAILABLE, JsonError("已有 2 个预览正在获取，请稍后再试"), "application/json",
                    MHD_HTTP_HEADER_RETRY_AFTER, "5"};
        ++waiting->previewsRunning;
    }
    Answer answer;
    answer.later = [check = m_addressCheck, waiting, form = request.form ? *request.form : std::map<std::string, std::string>()](
                       std::function<void(Answer)> deliver) {
        check(form, [waiting, deliver = std::move(deliver)](FrameAnswer frame) {
            std::string picture = "null";
            {
                std::lock_guard<std::mutex> lock(waiting->mutex);
                --waiting->previewsRunning;
                if (!frame.jpeg.empty()) {
                    // A name nobody can guess: the picture is shown to the requester without a token.
                    static std::random_device random;
                    std::string name;
                    for (int i = 0; i < 4; ++i)
                        name += std::to_string(random());
                    waiting->checkFrames.emplace_back(name, std::move(frame.jpeg));
                    if (waiting->checkFrames.size() > kMaxPreviews * 2)
                        waiting->checkFrames.pop_front();
                    picture = JsonString("/api/checks/" + name + ".jpg");
                }
            }
            deliver({MHD_HTTP_OK, "{\"frame\":" + picture + ",\"error\":" + JsonString(frame.error) +
                                      ",\"report\":" + StatusFormat::JsonLines(frame.report) + "}\n"});
        });
    };
    return answer;
}

StatusServer::Answer StatusServer::CheckFrame(std::string_view name) const
{
    std::lock_guard<std::mutex> lock(m_waiting->mutex);
    for (const auto& [kept, jpeg] : m_waiting->checkFrames)
        if (ConsoleAccess::TokensEqual(name, kept + ".jpg"))
            return {MHD_HTTP_OK, jpeg, "image/jpeg"};
    return {MHD_HTTP_NOT_FOUND, JsonError("这次检测的画面已不再保存，请重新检测")};
}

std::string StatusServer::CheckJson(int id) const
{
    std::lock_guard<std::mutex> lock(m_waiting->mutex);
    const auto found = m_waiting->previews.find(id);
    if (found == m_waiting->previews.end() || !found->second.last)
        return "null";
    const FrameAnswer& frame = *found->second.last;
    return "{\"at\":" + JsonString(StatusFormat::IsoTime(found->second.at)) + ",\"frame\":" +
           (frame.jpeg.empty() ? "false" : "true") + ",\"error\":" + JsonString(frame.error) +
           ",\"report\":" + StatusFormat::JsonLines(frame.report) + "}";
}

StatusServer::Answer StatusServer::CsvExportAnswer(bool withPasswords) const
{
    if (m_console.log)
        m_console.log->Write(std::string("网页命令：导出CSV") + (withPasswords ? "（含密码）" : "（不含密码）"));
    return {MHD_HTTP_OK, ChannelImport::ExportCsv(ConfigStore(m_console.dataDir), withPasswords), "text/csv; charset=utf-8"};
}

StatusServer::Answer StatusServer::CsvCheckAnswer(const Request& request)
{
    if (!m_csvCheck)
        return {MHD_HTTP_NOT_FOUND, JsonError("检测不可用：本程序没有接入信号源检测")};
    if (m_csvBusy.exchange(true))
        return {MHD_HTTP_TOO_MANY_REQUESTS, JsonError("已有一个CSV导入正在检测，请等它结束"), "application/json",
                MHD_HTTP_HEADER_RETRY_AFTER, "10"};
    const auto found = request.form ? request.form->find("csv") : std::map<std::string, std::string>::const_iterator();
    std::string csv = request.form && found != request.form->end() ? found->second : std::string();
    Answer answer;
    answer.later = [this, csv = std::move(csv)](std::function<void(Answer)> deliver) mutable {
        // Stop joins this thread before the server goes, and its answer is delivered before that.
        std::lock_guard<std::mutex> lock(m_csvMutex);
        if (m_csvStop) {
            m_csvBusy = false;
            deliver(Error(MHD_HTTP_SERVICE_UNAVAILABLE));
            return;
        }
        if (m_csvThread.joinable())
            m_csvThread.join();   // the last check, which has ended
        m_csvThread = std::thread([this, csv = std::move(csv), deliver = std::move(deliver)] {
            std::string json = m_csvCheck(csv, [this] { return m_csvStop.load(); });
            const unsigned status = json.rfind("{\"error\"", 0) == 0 ? MHD_HTTP_BAD_REQUEST : MHD_HTTP_OK;
            m_csvBusy = false;
            deliver({status, std::move(json)});
        });
    };
    return answer;
}
