// The web console's requests as the owner thread carries them out: a row's details, and the
// commands of the window's menus through the same engine operations.
#include "web/ConsoleHost.h"

#include "web/ChannelForm.h"
#include "web/ConsoleEdits.h"

#include "engine/RelayEngine.h"
#include "ffmpeg/ChannelRules.h"
#include "ffmpeg/SourceChecks.h"
#include "platform/SecretMask.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "web/StatusFormat.h"

#include <climits>
#include <sstream>

namespace {
using StatusFormat::JsonString;

// "ok": the command took effect. While changes wait to be saved (config.ini half-written, the
// disk full), "saved" is false and "warning" says so: the next start would not know of them.
ConsoleReply Done(const RelayEngine& engine, const std::string& message, int count = -1)
{
    const std::string unsaved = engine.Unsaved();
    return {200, "{\"ok\":true,\"message\":" + JsonString(message) +
                     (count >= 0 ? ",\"count\":" + std::to_string(count) : std::string()) +
                     (unsaved.empty() ? std::string() : ",\"saved\":false,\"warning\":" + JsonString(unsaved)) + "}"};
}

ConsoleReply Details(const RelayEngine& engine, int row, const std::string& check)
{
    const RowView view = engine.View(row);
    std::string failure = "null";
    if (const FailureRecord* f = view.lastFailure) {
        std::vector<std::string> lines;
        for (const std::string& line : f->m_lines)
            lines.push_back(MaskPasswords(line));
        failure = "{\"at\":" + JsonString(StatusFormat::IsoTime(f->m_at)) + ",\"how\":" +
                  JsonString(MaskPasswords(f->m_strHow)) + ",\"cause\":" + JsonString(f->m_diagnosis.name) +
                  ",\"side\":" + JsonString(FailureSideText(f->m_diagnosis.side)) + ",\"text\":" +
                  JsonString(f->m_diagnosis.sentence) + ",\"line\":" + JsonString(f->m_diagnosis.line) +
                  ",\"lines\":" + StatusFormat::JsonLines(lines) + "}";
    }
    // What the current child printed, without ffmpeg's banner (RowOutput masks the passwords).
    const std::vector<std::string> output = WithoutBanner(engine.RowOutput(row), SIZE_MAX);
    return {200, "{\"id\":" + std::to_string(view.id) + ",\"name\":" + JsonString(view.name) + ",\"state\":" +
                     JsonString(view.state) + ",\"last_failure\":" + failure + ",\"output\":" +
                     StatusFormat::JsonLines(output) + ",\"check\":" + check + "}\n"};
}
}  // namespace

ConsoleReply CarryOut(const ConsoleRequest& request, const ConsoleFace& face)
{
    RelayEngine& engine = face.engine;
    using Kind = ConsoleRequest::Kind;
    switch (request.kind) {
    case Kind::RunAll: {
        engine.Log().Write("网页命令：全部运行");
        const int queued = engine.RunAll();  // the first starts now, the others at the engine's pace
        return Done(engine, "全部运行：" + std::to_string(queued) + " 个信号依次启动", queued);
    }
    case Kind::PauseAll: {
        engine.Log().Write("网页命令：全部暂停");
        const int paused = engine.PauseAll();
        return Done(engine, "全部暂停：" + std::to_string(paused) + " 个信号已暂停", paused);
    }
    case Kind::Reload:
        if (!face.reload)
            return {409, "{\"error\":" + JsonString("窗口运行时不能从网页重新加载配置") + "}"};
        engine.Log().Write("网页命令：重新加载配置");
        return Done(engine, "已重新加载配置", face.reload());
    case Kind::Add:
        return AddFromForm(request, face);
    case Kind::ImportCsv:
        return ImportCsvFromForm(request, face);
    default:
        break;
    }
    const int row = engine.RowOfId(request.id);
    if (row < 0 || (engine.View(row).deleted && request.kind != Kind::Run))
        return {404, "{\"error\":" + JsonString("没有编号为 " + std::to_string(request.id) + " 的信号") + "}"};
    const RowView view = engine.View(row);
    switch (request.kind) {
    case Kind::Run:
        // Its id may be given to a new channel at the next start: nothing is stored under it.
        if (view.deleted)
            return {409, "{\"error\":" + JsonString("信号 " + view.name + " 已删除，不能运行") + "}"};
        // As the menu's "运行": a row that is not stopped is left as it is.
        if (!view.stopped)
            return Done(engine, "信号 " + view.name + " 已在运行");
        engine.LogRow(row, "网页命令：运行");
        engine.StartChannel(row);
        return Done(engine, "信号 " + view.name + " 已开始运行");
    case Kind::Pause:
        engine.LogRow(row, "网页命令：暂停");
        engine.PauseChannel(row);
        return Done(engine, "信号 " + view.name + " 已暂停");
    case Kind::Settings:
        return SettingsOf(face, row);
    case Kind::Edit:
        return EditFromForm(request, face, row);
    case Kind::Delete:
        return DeleteFromPage(face, row);
    default:
        return Details(engine, row, request.check);
    }
}

namespace {
// What a finished check gives the console: the picture, or why there is none, and the report.
FrameAnswer FrameOf(const SourceResult& result)
{
    FrameAnswer frame{result.frameJpeg, {}, {}};
    std::istringstream report(result.Report());
    for (std::string line; std::getline(report, line);)
        frame.report.push_back(line);
    if (frame.jpeg.empty())
        frame.error = result.cancelled            ? "检测被取消"
                      : !result.reachable          ? result.diagnosis.sentence
                      : result.frameProblem.empty() ? "信号源没有视频，没有画面可以预览"
                                                    : result.frameProblem;
    return frame;
}
}  // namespace

FrameProvider SourceCheckFrames(SourceChecks& checks, std::string dataDir)
{
    return [&checks, dataDir = std::move(dataDir)](int id, std::function<void(FrameAnswer)> done) {
        SourceRequest request = StoredSourceRequest(ConfigStore(dataDir), id);
        request.measureKeyframes = false;  // a preview wants its picture soon
        const bool started = checks.Start(id, request,
                                          [done](const SourceResult& result) { done(FrameOf(result)); });
        // The window's 预览 of the same channel may be running: its result is not this request's.
        if (!started)
            done({{}, {}, "该信号的信号源正在检测中（例如窗口中的预览），请稍后再试"});
    };
}

AddressCheck SourceCheckAddresses(SourceChecks& checks, std::string dataDir)
{
    return [&checks, dataDir = std::move(dataDir)](std::map<std::string, std::string> form,
                                                   std::function<void(FrameAnswer)> done) {
        const ConfigStore store(dataDir);
        std::string problem;
        const std::optional<std::string> url = ChannelForm::SourceOf(store, form, problem);
        if (url && problem.empty())
            problem = ChannelRules::SourceAddressProblem(*url);
        if (!problem.empty()) {
            done({{}, {}, problem});
            return;
        }
        RememberSecretsOf(*url);   // whatever of the address a sentence of the check quotes is masked
        SourceRequest request;
        request.url = *url;
        request.rtspTcp = StoredRtspTcp(store);
        for (int slot : {-1, -2})
            if (checks.Start(slot, request, [done](const SourceResult& result) { done(FrameOf(result)); }))
                return;
        done({{}, {}, "已有 2 个检测正在进行，请稍后再试"});
    };
}
