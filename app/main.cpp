// CamRelay: one main window; the process lives as long as it does.
#include "app/CRelayApp.h"
#include "app/StartupOptions.h"
#include "relay/SignalPipe.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Before anything opens a file, a pipe or a display connection.
    ReopenClosedStandardStreams();
    // Before anything slow: a stop request during start-up waits until it can be honoured.
    SignalPipe::Install();

    const StartupOptions options = StartupOptions::Parse(argc, argv);
    if (options.m_nExitCode >= 0)
        return options.m_nExitCode;
    if (options.m_bHeadless) {
        std::fputs("CamRelay: --headless 尚未实现\n", stderr);
        return StartupOptions::kExitUsage;
    }
    if (!CRelayApp::DisplayAvailable(argc, argv)) {
        std::fputs("CamRelay: 没有可用的显示器（未设置 DISPLAY 或 WAYLAND_DISPLAY）。"
                   "无窗口运行请使用 --headless。\n", stderr);
        return 1;
    }
    CRelayApp app(argc, argv);
    return app.Run(options);
}
