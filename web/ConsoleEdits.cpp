// The web console's channel form on the owner thread: add, edit, delete and a channel's stored
// values, by the engine's shared operations, with the wizard's rules and sentences.
#include "web/ConsoleEdits.h"

#include "engine/ChannelEdits.h"
#include "ffmpeg/ChannelImport.h"
#include "ffmpeg/FfmpegLocation.h"
#include "ffmpeg/ChannelRules.h"
#include "platform/SecretMask.h"
#include "settings/ConfigStore.h"
#include "web/ChannelForm.h"
#include "web/StatusFormat.h"

#include <algorithm>
#include <sstream>

namespace {
using StatusFormat::JsonString;

// The source page's question after the password advice.

ConsoleReply Refused(unsigned status, const std::string& sentence)
{
    return { status, "{\"error\":" + JsonString(MaskPasswords(sentence)) + "}\n" };
}

ConsoleReply Saved(const RelayEngine& engine, const std::string& message, int id, const std::string& warning)
{
    const std::string unsaved = engine.Unsaved();
    const std::string said = warning.empty() ? unsaved : unsaved.empty() ? warning : warning + "；" + unsaved;
    return { 200,
        "{\"ok\":true,\"message\":" + JsonString(message) + ",\"id\":" + std::to_string(id)
            + (unsaved.empty() ? std::string() : ",\"saved\":false")
            + (said.empty() ? std::string() : ",\"warning\":" + JsonString(MaskPasswords(said))) + "}\n" };
}

// The form's values with the password advice applied; a reply when the request ends here: an
// address still masked (400), or the advice is to be answered first (409, "question"; the page
// sends the form again with password_advice "encode" or "keep"). The rules' refusals come from
// the engine's add and edit; values they refuse are not asked about.
std::optional<ConsoleReply> Prepare(
    const ConsoleRequest& request, const ConfigStore& store, int base, int from, ChannelForm::Parsed& parsed)
{
    parsed = ChannelForm::Parse(store, request.form, base, from);
    // A sentence may quote the start of an address; its password is masked wherever it shows.
    RememberSecretsOf(parsed.values.sourceUrl);
    RememberSecretsOf(parsed.values.publishUrl);
    for (const std::string& extra : parsed.values.extraPublish)
        RememberSecretsOf(extra);
    if (!parsed.problem.empty())
        return Refused(400, parsed.problem);
    const auto answer = request.form.find("password_advice");
    if (const auto advice = ChannelRules::AdvisePassword(parsed.values.sourceUrl);
        advice && ChannelRules::ChannelProblem(parsed.values, parsed.checks).empty()) {
        if (answer == request.form.end())
            return ConsoleReply { 409, "{\"question\":" + JsonString(advice->question) + "}\n" };
        if (answer->second == "encode")
            parsed.values.sourceUrl = advice->encodedUrl;
    }
    return std::nullopt;
}
} // namespace

ConsoleReply AddFromForm(const ConsoleRequest& request, const ConsoleFace& face)
{
    if (!face.session || !face.nextId)
        return Refused(409, "此程序不能从网页添加信号");
    RelayEngine& engine = face.engine;
    const ConfigStore store(engine.AppDir());
    // A copy starts from the copied channel's stored values, as the wizard's 复制信号 does.
    const int from = ChannelForm::IdField(request.form, "from");
    ChannelForm::Parsed parsed;
    if (auto refused = Prepare(request, store, from, from, parsed))
        return *refused;
    const auto run = request.form.find("run");
    const bool start = run == request.form.end() || run->second != "0";
    engine.Log().Write("网页命令：添加信号 " + parsed.values.name);
    const AddedChannel added = AddChannel(*face.session, engine, *face.nextId, parsed.values, parsed.checks, start);
    if (!added.problem.empty())
        return Refused(400, added.problem);
    return Saved(engine, "已添加信号 " + parsed.values.name, added.id, added.refusal);
}

ConsoleReply EditFromForm(const ConsoleRequest& request, const ConsoleFace& face, int row)
{
    RelayEngine& engine = face.engine;
    const RowView view = engine.View(row);
    ChannelForm::Parsed parsed;
    if (auto refused = Prepare(request, ConfigStore(engine.AppDir()), view.id, view.id, parsed))
        return *refused;
    int applied = 0;
    if (std::string problem = EditChannel(engine, row, parsed.values, parsed.checks, &applied); !problem.empty())
        return Refused(400, problem);
    engine.LogRow(row, "网页命令：编辑");
    // As after the window's 编辑: a running child goes on with what it was started with; the
    // changed addresses of a channel with several are published to at once.
    const std::string when = !view.active ? "" : applied > 0 ? "，已修改的推流地址立即生效，其他设置下次启动时生效" : "，下次启动时生效";
    return Saved(engine, "信号 " + parsed.values.name + " 的设置已保存" + when, view.id, {});
}

ConsoleReply DeleteFromPage(const ConsoleFace& face, int row)
{
    RelayEngine& engine = face.engine;
    const RowView view = engine.View(row);
    engine.LogRow(row, "网页命令：删除");
    engine.DeleteChannel(row);
    return Saved(engine, "信号 " + view.name + " 已删除", view.id, {});
}

ConsoleReply SettingsOf(const ConsoleFace& face, int row)
{
    return { 200, ChannelForm::SettingsJson(ConfigStore(face.engine.AppDir()), face.engine.View(row).id) };
}

namespace {
// The plan's report for the page: its lines, how many rows can be stored, the lines refused.
std::string PlanJson(const ChannelImport::Plan& plan, bool stored, int queued)
{
    std::vector<std::string> lines;
    std::istringstream report(ChannelImport::Report(plan));
    for (std::string line; std::getline(report, line);)
        lines.push_back(line);
    std::string refused;
    for (const ChannelImport::Row& row : plan.rows)
        if (!row.problem.empty())
            refused += (refused.empty() ? "" : ",") + std::to_string(row.line);
    return "{\"ok\":true,\"report\":" + StatusFormat::JsonLines(lines) + ",\"storable\":" +
           std::to_string(plan.Storable()) + ",\"refused\":[" + refused + "],\"stored\":" +
           (stored ? "true" : "false") + ",\"queued\":" + std::to_string(queued) + "}\n";
}

std::string FormValue(const std::map<std::string, std::string>& form, const char* name)
{
    const auto found = form.find(name);
    return found == form.end() ? std::string() : found->second;
}
}  // namespace

ConsoleReply ImportCsvFromForm(const ConsoleRequest& request, const ConsoleFace& face)
{
    if (!face.session || !face.nextId)
        return Refused(409, "此程序不能从网页导入信号");
    const ConfigStore store(face.engine.AppDir());
    ChannelImport::Plan plan = ChannelImport::PlanImport(FormValue(request.form, "csv"), store);
    if (!plan.error.empty())
        return Refused(400, plan.error);
    std::istringstream skip(FormValue(request.form, "skip"));
    for (std::string line; std::getline(skip, line, ',');)
        for (ChannelImport::Row& row : plan.rows)
            if (std::to_string(row.line) == line && row.problem.empty())
                row.problem = "检测信号源未通过";
    if (FormValue(request.form, "store") != "1")
        return {200, PlanJson(plan, false, 0)};
    if (!ChannelImport::StoreImport(store, plan))
        return Refused(500, "无法写入 " + store.IniPath() + "：没有导入任何信号");
    *face.nextId = std::max(*face.nextId, plan.nextId);
    const int queued = AppendImported(*face.session, face.engine, plan);
    face.engine.Log().Write("网页命令：导入CSV，" + std::to_string(plan.Storable()) + " 个信号" +
                            (queued ? "，其中 " + std::to_string(queued) + " 个排队启动" : ""));
    return {200, PlanJson(plan, true, queued)};
}

CsvCheck CsvImportCheck(const FfmpegLocation& ffmpeg, std::string dataDir)
{
    return [ffmpeg, dataDir = std::move(dataDir)](const std::string& csv, const std::function<bool()>& stop) {
        ChannelImport::Plan plan = ChannelImport::PlanImport(csv, ConfigStore(dataDir));
        if (!plan.error.empty())
            return "{\"error\":" + JsonString(plan.error) + "}\n";
        ChannelImport::CheckSources(plan, ffmpeg, {}, stop);
        return PlanJson(plan, false, 0);
    };
}
