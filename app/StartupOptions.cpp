#include "app/StartupOptions.h"

#include "Version.h"
#include "settings/ChannelStore.h"
#include "web/ConsoleAccess.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <functional>
#include <utility>

namespace {
const char kUsage[] = "用法：CamRelay [--dir DIR] [--headless] [--status-port PORT] [--status-bind ADDR]"
                      " [--status-host NAME[,NAME]] [--control-token-file FILE]\n"
                      "      CamRelay --probe URL [--tcp] [--frame FILE.jpg] [--publish RTMP地址]\n"
                      "      CamRelay --probe-all [--dir DIR]\n"
                      "      CamRelay --import-csv FILE [--dir DIR] [--check] [--dry-run]\n"
                      "      CamRelay --export-csv FILE [--dir DIR] [--with-passwords]（--help 查看说明）\n";

void Print(FILE* to, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
    std::fflush(to);
}

int Fail(const QString& error)
{
    Print(stderr, QStringLiteral("CamRelay: ") + error + '\n' + QString::fromUtf8(kUsage));
    return StartupOptions::kExitUsage;
}
}  // namespace

StartupOptions StartupOptions::Parse(int& argc, char** argv)
{
    StartupOptions options;
    // A core application only: it knows the program's name and arguments, and opens no display.
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("CamRelay"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(CAMRELAY_VERSION_TEXT).mid(4));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "CamRelay：把监控摄像头的视频转发到RTMP直播服务器。\n"
        "config.ini、NetStatus.txt 与 CamRelay.log 所在目录：--dir 指定；否则为程序所在目录"
        "（其中已有 config.ini，或该目录可写且不在 /usr、/bin、/sbin、/lib*、/opt、/etc 之下时），"
        "再否则为 $XDG_CONFIG_HOME/CamRelay（默认 ~/.config/CamRelay）。"));
    // Qt's own options take single dashes; so may ours then.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("config.ini 等文件所在的目录（不存在时创建）。"),
                                 QStringLiteral("DIR"));
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("不开窗口，作为服务运行所有“运行中”的信号。"));
    const QCommandLineOption statusPort(QStringLiteral("status-port"),
                                        QStringLiteral("在此端口提供状态接口与网页控制台（/、GET /metrics、GET /status）；默认关闭。"),
                                        QStringLiteral("PORT"));
    const QCommandLineOption statusBind(QStringLiteral("status-bind"),
                                        QStringLiteral("状态接口监听的地址，默认 127.0.0.1。"), QStringLiteral("ADDR"),
                                        options.m_strStatusBind.c_str());
    const QCommandLineOption statusHost(
        QStringLiteral("status-host"),
        QStringLiteral("从其他机器访问状态接口时 Host 可用的主机名（以逗号分隔）；给出后，从其他机器来的请求只接受这些名称"
                       "和 IP 地址，其余回答 421。从本机（回环地址）来的请求始终只接受本机地址和这些名称。默认不限。"),
        QStringLiteral("NAME[,NAME]"));
    const QCommandLineOption tokenFile(
        QStringLiteral("control-token-file"),
        QStringLiteral("网页控制台的控制令牌所在文件（只有所有者可读，内容为一个 16 到 256 字符的令牌）。"
                       "有它时，带“Authorization: Bearer 令牌”的请求可以运行、暂停、添加、编辑、删除和导入信号；没有时网页只读。"),
        QStringLiteral("FILE"));
    const QCommandLineOption probe(QStringLiteral("probe"),
                                   QStringLiteral("检测一个信号源（rtsp://、rtmp://、http://）：显示它发送的视频和音频、"
                                                  "能否直通以及建议，然后退出；可用时退出码为 0，不可用为 1。"),
                                   QStringLiteral("URL"));
    const QCommandLineOption tcp(QStringLiteral("tcp"), QStringLiteral("与 --probe 一起：用 TCP 拉取 rtsp:// 信号源。"));
    const QCommandLineOption frame(QStringLiteral("frame"),
                                   QStringLiteral("与 --probe 一起：把截取的一帧画面保存为 JPEG 文件。"), QStringLiteral("FILE"));
    const QCommandLineOption publish(QStringLiteral("publish"),
                                     QStringLiteral("与 --probe 一起：同时检查发布地址（地址格式、服务器、端口、RTMP 握手和应用名），不推流。"),
                                     QStringLiteral("URL"));
    const QCommandLineOption probeAll(QStringLiteral("probe-all"),
                                      QStringLiteral("检测 config.ini 中每个信号的信号源（最多同时 4 个），每个信号一行，"
                                                     "附按其设置给出的建议；全部能按设置直播时退出码为 0。"));
    const QCommandLineOption importCsv(
        QStringLiteral("import-csv"),
        QStringLiteral("把 CSV 文件（UTF-8 或 GBK，一行一个信号，第 1 行为列名）中的信号加入 config.ini 后退出："
                       "每行按导入向导的规则检查，可以导入的一次保存，并逐行报告；“-”为标准输入。"
                       "全部导入时退出码为 0，有未导入的行为 1，文件无法读取为 2。"),
        QStringLiteral("FILE"));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("与 --import-csv 一起：先检测每行的信号源（最多同时 4 个），不可用的行不导入。"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("与 --import-csv 一起：只报告，不保存。"));
    const QCommandLineOption exportCsv(
        QStringLiteral("export-csv"),
        QStringLiteral("把 config.ini 中的信号写成 CSV 文件（UTF-8，带 BOM）后退出；“-”为标准输出。地址中的密码写作 ***。"),
        QStringLiteral("FILE"));
    const QCommandLineOption withPasswords(QStringLiteral("with-passwords"),
                                           QStringLiteral("与 --export-csv 一起：导出的地址保留密码。"));
    parser.addOptions({dir, headless, statusPort, statusBind, statusHost, tokenFile, probe, tcp, frame, publish, probeAll,
                       importCsv, check, dryRun, exportCsv, withPasswords});
    // Options the QApplication takes for itself: accepted here, not shown in the help.
    for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin", "display", "style",
                             "stylesheet", "qwindowgeometry", "qwindowtitle", "qwindowicon", "session"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    QCommandLineOption reverse(QStringLiteral("reverse"), QString());
    reverse.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(reverse);

    // Ends the parse: exit code 0 after help or version, kExitUsage after a refusal.
    const auto done = [&options](int exitCode) { options.m_nExitCode = exitCode; return options; };
    const auto refuse = [&done](const QString& error) { return done(Fail(error)); };
    if (!parser.parse(QCoreApplication::arguments()))
        return refuse(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        Print(stdout, parser.helpText());
        return done(0);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        Print(stdout, QStringLiteral("CamRelay %1\n").arg(QCoreApplication::applicationVersion()));
        return done(0);
    }
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("多余的参数：") + parser.positionalArguments().join(' '));
    options.m_strDir = parser.value(dir).toStdString();
    if (parser.isSet(dir) && options.m_strDir.empty())
        return refuse(QStringLiteral("--dir 不能为空"));
    options.m_bHeadless = parser.isSet(headless);
    options.m_strImportCsv = parser.value(importCsv).toStdString();
    options.m_strExportCsv = parser.value(exportCsv).toStdString();
    options.m_bCsvCheck = parser.isSet(check);
    options.m_bCsvDryRun = parser.isSet(dryRun);
    options.m_bCsvPasswords = parser.isSet(withPasswords);
    if ((parser.isSet(importCsv) && options.m_strImportCsv.empty()) || (parser.isSet(exportCsv) && options.m_strExportCsv.empty()))
        return refuse(QStringLiteral("--import-csv 和 --export-csv 的文件不能为空"));
    if ((options.m_bCsvCheck || options.m_bCsvDryRun) && !parser.isSet(importCsv))
        return refuse(QStringLiteral("--check 和 --dry-run 只能与 --import-csv 一起使用"));
    if (options.m_bCsvPasswords && !parser.isSet(exportCsv))
        return refuse(QStringLiteral("--with-passwords 只能与 --export-csv 一起使用"));
    if ((parser.isSet(importCsv) || parser.isSet(exportCsv)) &&
        (parser.isSet(importCsv) + parser.isSet(exportCsv) + parser.isSet(headless) + parser.isSet(statusPort) +
         parser.isSet(probe) + parser.isSet(probeAll)) > 1)
        return refuse(QStringLiteral("--import-csv、--export-csv 不能彼此同时使用，也不能与 --headless、--status-port、--probe、--probe-all 同时使用"));
    options.m_bProbeAll = parser.isSet(probeAll);
    options.m_bProbeTcp = parser.isSet(tcp);
    options.m_strProbeUrl = parser.value(probe).toStdString();
    options.m_strProbeFrame = parser.value(frame).toStdString();
    options.m_strProbePublish = parser.value(publish).toStdString();
    const bool probing = parser.isSet(probe) || options.m_bProbeAll;
    if (probing && (options.m_bHeadless || parser.isSet(statusPort) || (parser.isSet(probe) && options.m_bProbeAll)))
        return refuse(QStringLiteral("--probe、--probe-all 与 --headless、--status-port 不能同时使用"));
    if ((options.m_bProbeTcp || parser.isSet(frame)) && !parser.isSet(probe))
        return refuse(QStringLiteral("--tcp 和 --frame 只能与 --probe 一起使用"));
    if (parser.isSet(publish) && !parser.isSet(probe))
        return refuse(QStringLiteral("--publish 只能与 --probe 一起使用"));
    if (parser.isSet(probe) && parser.isSet(dir))
        return refuse(QStringLiteral("--probe 不使用配置目录：--dir 只能与 --probe-all、--import-csv、--export-csv 一起使用"));
    // The source page's rule.
    if (parser.isSet(probe) && !IsSourceScheme(options.m_strProbeUrl))
        return refuse(QStringLiteral("--probe 的地址须以 rtsp://、rtmp:// 或 http:// 开头"));
    if (parser.isSet(frame) && options.m_strProbeFrame.empty())
        return refuse(QStringLiteral("--frame 不能为空"));
    if (parser.isSet(statusPort)) {
        options.m_nStatusPort = ConsoleAccess::PortNumber(parser.value(statusPort).trimmed().toStdString());
        if (options.m_nStatusPort == 0)
            return refuse(QStringLiteral("--status-port 须为 1 到 65535 之间的端口号"));
    }
    options.m_strStatusBind = parser.value(statusBind).toStdString();
    // Options of the endpoint that mean nothing without it, each with its own reader.
    const std::pair<const QCommandLineOption*, std::function<void(const std::string&, std::string&)>> readers[] = {
        {&statusHost, [&options](const std::string& value, std::string& error) {
             options.m_statusHosts = ConsoleAccess::HostNames(value, error);
         }},
        {&tokenFile, [&options](const std::string& value, std::string& error) {
             options.m_strControlToken = ConsoleAccess::ReadTokenFile(value, error);
         }},
    };
    for (const auto& [option, read] : readers) {
        if (!parser.isSet(*option))
            continue;
        if (options.m_nStatusPort == 0)
            return refuse(QStringLiteral("--%1 须与 --status-port 一起使用").arg(option->names().constFirst()));
        std::string error;
        read(parser.value(*option).toStdString(), error);
        if (!error.empty())
            return refuse(QString::fromStdString(error));
    }
    return options;
}
