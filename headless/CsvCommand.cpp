#include "headless/CsvCommand.h"

#include "ffmpeg/ChannelImport.h"
#include "platform/SignalPipe.h"
#include "platform/SystemError.h"
#include "settings/DataDir.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

namespace {
constexpr int kExitRefused = 1, kExitUnusable = 2;

void Write(FILE* to, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

int Unusable(const std::string& text)
{
    Write(stderr, "CamRelay: " + text + "\n");
    return kExitUnusable;
}

// The data folder: --dir (made when missing, for an import into a new folder) or the default.
std::string DataFolder(const CsvOptions& options, bool create, std::string& error)
{
    const DataDir dir = !options.m_strDir.empty()
                            ? (create ? DataDir::FromOption(options.m_strDir) : DataDir{options.m_strDir, {}})
                            : DataDir::Resolve(options.m_strProgramDir, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), create);
    error = dir.m_strError;
    return dir.m_strPath;
}

int ImportFile(const CsvOptions& options)
{
    std::string bytes;
    if (options.m_strImport == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(options.m_strImport, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        if (!in || !all)
            return Unusable("无法读取 " + options.m_strImport + "：" + SystemErrorText(errno));
        bytes = all.str();
    }
    std::string error;
    const std::string dir = DataFolder(options, !options.m_bDryRun, error);
    if (dir.empty())
        return Unusable(error);
    const ConfigStore store(dir);
    struct stat st {};
    const bool exists = ::stat(store.IniPath().c_str(), &st) == 0;
    // A file cut short or without its section is no list to add to; a missing one is started.
    if (const std::string problem = store.ReadProblem(); exists && !problem.empty())
        return Unusable(problem);
    const auto start = std::chrono::steady_clock::now();
    ChannelImport::Plan plan = ChannelImport::PlanImport(bytes, store);
    if (!plan.error.empty())
        return Unusable(options.m_strImport + "：" + plan.error);
    if (options.m_bCheck && plan.Storable() > 0) {
        Write(stderr, "检测 " + std::to_string(plan.Storable()) + " 个信号源（最多同时 " +
                        std::to_string(ChannelImport::kParallelChecks) + " 个）……\n");
        const FfmpegLocation ffmpeg = FfmpegLocation::Find(options.m_strProgramDir, std::getenv("PATH"));
        if (!ChannelImport::CheckSources(plan, ffmpeg, {}, [] { return SignalPipe::Pending() && SignalPipe::Take().m_bStop; })) {
            Write(stdout, ChannelImport::Report(plan));
            Write(stderr, "检测被中止：没有保存任何信号\n");
            return kExitRefused;
        }
    }
    const bool written = options.m_bDryRun || ChannelImport::StoreImport(store, plan);
    Write(stdout, ChannelImport::Report(plan));
    const int good = plan.Storable(), refused = static_cast<int>(plan.rows.size()) - good;
    const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    if (!written) {
        Write(stderr, "无法写入 " + store.IniPath() + "：没有保存任何信号\n");
        return kExitRefused;
    }
    Write(stdout, std::string(options.m_bDryRun ? "试运行，未保存：" : "") + "共 " + std::to_string(plan.rows.size()) +
                    " 行，" + (options.m_bDryRun ? "可以导入 " : "已导入 ") + std::to_string(good) + " 行，未导入 " +
                    std::to_string(refused) + " 行，用时 " + std::to_string(seconds) + " 秒" +
                    (options.m_bDryRun || good == 0 ? "" : "；保存在 " + store.IniPath() + "，“运行中”的信号在程序启动或重新读取配置时运行") +
                    "\n");
    return refused == 0 ? 0 : kExitRefused;
}

int ExportFile(const CsvOptions& options)
{
    std::string error;
    const std::string dir = DataFolder(options, false, error);
    if (dir.empty())
        return Unusable(error);
    const ConfigStore store(dir);
    if (const std::string problem = store.ReadProblem(); !problem.empty())
        return Unusable(problem);
    const std::string csv = ChannelImport::ExportCsv(store, options.m_bWithPasswords);
    if (options.m_strExport == "-") {
        Write(stdout, csv);
    } else {
        std::ofstream out(options.m_strExport, std::ios::binary | std::ios::trunc);
        out.write(csv.data(), static_cast<std::streamsize>(csv.size()));
        out.close();
        if (!out)
            return Unusable("无法写入 " + options.m_strExport + "：" + SystemErrorText(errno));
    }
    Write(stderr, options.m_bWithPasswords ? "CamRelay: 导出的文件包含密码，请妥善保管\n"
                                         : "CamRelay: 导出的地址中密码已写作 ***（需要密码时加 --with-passwords）\n");
    return 0;
}
}  // namespace

namespace CsvCommand {

int Run(const CsvOptions& options)
{
    return options.m_strImport.empty() ? ExportFile(options) : ImportFile(options);
}

}  // namespace CsvCommand
