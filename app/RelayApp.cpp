#include "app/RelayApp.h"

#include "app/MainWindow.h"
#include "app/StartupOptions.h"
#include "ffmpeg/FfmpegLocation.h"
#include "platform/SignalPipe.h"
#include "settings/ConfigStore.h"
#include "settings/InstanceLock.h"
#include "ui/MessageBox.h"
#include "web/StatusServer.h"
#include "web/StatusSnapshot.h"

#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <cstring>

RelayApp::RelayApp(int& argc, char** argv) : m_app(argc, argv)
{
    Q_INIT_RESOURCE(resources);
    QApplication::setApplicationName(QStringLiteral("CamRelay"));
    Prompt::UseChineseQtTexts();
}

bool RelayApp::DisplayAvailable(int argc, char** argv)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "-platform") || !std::strcmp(argv[i], "--platform")
            || !std::strncmp(argv[i], "-platform=", 10) || !std::strncmp(argv[i], "--platform=", 11))
            return true;
    return false;
}

void RelayApp::OnSignal()
{
    SignalPipe::Take();
    if (m_pDlg) {
        m_pDlg->OnClose();
        return;
    }
    // Before the window (a refusal message box): whatever is open closes.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible())
            widget->close();
}

int RelayApp::Refuse(const std::string& text, int exitCode)
{
    std::fprintf(stderr, "CamRelay: %s\n", text.c_str());
    std::fflush(stderr);
    if (!SignalPipe::Pending())
        Prompt::Message(nullptr, QString::fromStdString(text));
    return exitCode;
}

int RelayApp::Run(const StartupOptions& options)
{
    QSocketNotifier notifier(SignalPipe::ReadFd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [this] { OnSignal(); });

    const std::string programDir = ConfigStore::ExecutableDir();
    // Held until the process ends. A second instance on the folder touches nothing in it.
    InstanceLock lock;
    const ClaimedDataDir dir = ClaimDataDir(options.m_strDir, programDir, lock);
    if (dir.m_nExitCode >= 0)
        return Refuse(dir.m_strMessage, dir.m_nExitCode);
    if (!dir.m_strWarning.empty())
        std::fprintf(stderr, "CamRelay: %s\n", dir.m_strWarning.c_str());
    if (SignalPipe::Pending())
        return 0;  // stopped before anything was read or written

    MainWindow dlg(dir.m_strPath);
    // Stopped before the window goes: its console's requests are carried out by the window.
    StatusServer status;
    // Shown once the window is up; the log's problem reaches standard error through the log.
    if (!dir.m_strWarning.empty())
        dlg.ShowMessage(dir.m_strWarning);
    if (const std::string& problem = dlg.m_engine.Log().FileProblem(); !problem.empty()) {
        dlg.m_engine.Log().Write(problem);
        dlg.ShowMessage(problem);
    }
    // Nothing has been launched yet: launches begin with the timers, in the event loop.
    dlg.m_engine.UseFfmpeg(FfmpegLocation::Find(programDir, std::getenv("PATH")));
    m_pDlg = &dlg;
    // The endpoint serves on its own threads; the window hands it a snapshot after each
    // supervision tick and reading. A port in use is a log line: the window runs on without it.
    if (options.m_nStatusPort > 0) {
        status.UseConsole({&dlg, options.m_strControlToken, dir.m_strPath, "window", &dlg.m_engine.Log()});
        status.SetFrameProvider(SourceCheckFrames(dlg.Checks(), dir.m_strPath));
        status.SetAddressCheck(SourceCheckAddresses(dlg.Checks(), dir.m_strPath));
        status.SetCsvCheck(CsvImportCheck(dlg.m_engine.Ffmpeg(), dir.m_strPath));
        status.AcceptHostNames(options.m_statusHosts);
        if (status.StartAndSay(options.m_strStatusBind, options.m_nStatusPort)) {
            dlg.m_onStatusChange = [&status, &dlg] { status.Publish(StatusSnapshot(dlg.m_engine)); };
            dlg.m_onStatusChange();
        }
    }
    if (SignalPipe::Pending()) {
        SignalPipe::Take();
        dlg.OnClose();  // arrived during the start-up scan: end before the window shows
    } else {
        dlg.show();
        dlg.exec();
    }
    m_pDlg = nullptr;
    dlg.m_onStatusChange = nullptr;
    return 0;
}
