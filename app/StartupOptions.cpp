#include "app/StartupOptions.h"

#include "Version.h"
#include "service/ConsoleAccess.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {
const char kUsage[] = "用法：CamRelay [--dir DIR] [--headless] [--status-port PORT] [--status-bind ADDR]"
                      " [--control-token-file FILE]（--help 查看说明）\n";

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
    const QCommandLineOption tokenFile(
        QStringLiteral("control-token-file"),
        QStringLiteral("网页控制台的控制令牌所在文件（只有所有者可读，内容为一个 16 到 256 字符的令牌）。"
                       "有它时，带“Authorization: Bearer 令牌”的请求可以运行、暂停信号；没有时网页只读。"),
        QStringLiteral("FILE"));
    parser.addOptions({dir, headless, statusPort, statusBind, tokenFile});
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

    if (!parser.parse(QCoreApplication::arguments())) {
        options.m_nExitCode = Fail(parser.errorText());
        return options;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        Print(stdout, parser.helpText());
        options.m_nExitCode = 0;
        return options;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        Print(stdout, QStringLiteral("CamRelay %1\n").arg(QCoreApplication::applicationVersion()));
        options.m_nExitCode = 0;
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.m_nExitCode = Fail(QStringLiteral("多余的参数：") + parser.positionalArguments().join(' '));
        return options;
    }
    if (parser.isSet(dir)) {
        options.m_strDir = parser.value(dir).toStdString();
        if (options.m_strDir.empty()) {
            options.m_nExitCode = Fail(QStringLiteral("--dir 不能为空"));
            return options;
        }
    }
    options.m_bHeadless = parser.isSet(headless);
    if (parser.isSet(statusPort)) {
        bool ok = false;
        options.m_nStatusPort = parser.value(statusPort).toInt(&ok);
        if (!ok || options.m_nStatusPort < 1 || options.m_nStatusPort > 65535) {
            options.m_nExitCode = Fail(QStringLiteral("--status-port 须为 1 到 65535 之间的端口号"));
            return options;
        }
    }
    options.m_strStatusBind = parser.value(statusBind).toStdString();
    if (parser.isSet(tokenFile)) {
        if (options.m_nStatusPort == 0) {
            options.m_nExitCode = Fail(QStringLiteral("--control-token-file 须与 --status-port 一起使用"));
            return options;
        }
        std::string error;
        options.m_strControlToken = ConsoleAccess::ReadTokenFile(parser.value(tokenFile).toStdString(), error);
        if (!error.empty()) {
            options.m_nExitCode = Fail(QString::fromStdString(error));
            return options;
        }
    }
    return options;
}
