#include "app/CRelayApp.h"

#include "app/CRelayDlg.h"
#include "app/MessageBox.h"
#include "settings/ConfigStore.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}
}  // namespace

CRelayApp::CRelayApp(int& argc, char** argv) : m_app(argc, argv)
{
    Q_INIT_RESOURCE(resources);
    QApplication::setApplicationName(QStringLiteral("CamRelay"));
    Prompt::UseChineseQtTexts();
}

int CRelayApp::Run()
{
    CRelayDlg dlg(ConfigStore::ExecutableDir());

    // Signals are turned into a byte on a pipe and handled on the GUI thread.
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &dlg);
        QObject::connect(notifier, &QSocketNotifier::activated, &dlg, [&dlg] {
            char buffer[16];
            while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            dlg.OnClose();
        });
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            sigaction(sig, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);

    dlg.show();
    dlg.exec();
    return 0;
}
