// CamRelay: one main window, or with --headless the service without one; the process lives
// as long as either does. --probe and --probe-all check sources, --import-csv and --export-csv
// read or write the channel list as CSV, and exit, without either.
#include "app/RelayApp.h"
#include "app/StartupOptions.h"
#include "headless/CsvCommand.h"
#include "headless/HeadlessService.h"
#include "headless/ProbeCommand.h"
#include "platform/SignalPipe.h"
#include "settings/ConfigStore.h"

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
    if (!options.m_strProbeUrl.empty() || options.m_bProbeAll) {
        // Like the service: no display, and no data folder claimed or written.
        ProbeOptions probe;
        probe.m_strUrl = options.m_strProbeUrl;
        probe.m_bTcp = options.m_bProbeTcp;
        probe.m_strFrame = options.m_strProbeFrame;
        probe.m_strPublish = options.m_strProbePublish;
        probe.m_bAll = options.m_bProbeAll;
        probe.m_strDir = options.m_strDir;
        probe.m_strProgramDir = ConfigStore::ExecutableDir();
        return ProbeCommand::Run(probe);
    }
    if (!options.m_strImportCsv.empty() || !options.m_strExportCsv.empty()) {
        // Like --probe-all: no display; config.ini is written in one replace, no lock taken, so
        // that a running service takes the channels at its next reload.
        CsvOptions csv;
        csv.m_strImport = options.m_strImportCsv;
        csv.m_strExport = options.m_strExportCsv;
        csv.m_strDir = options.m_strDir;
        csv.m_strProgramDir = ConfigStore::ExecutableDir();
        csv.m_bCheck = options.m_bCsvCheck;
        csv.m_bDryRun = options.m_bCsvDryRun;
        csv.m_bWithPasswords = options.m_bCsvPasswords;
        return CsvCommand::Run(csv);
    }
    if (options.m_bHeadless) {
        // No QApplication and no QGuiApplication: nothing here may need a display.
        HeadlessOptions headless;
        headless.m_strDir = options.m_strDir;
        headless.m_strProgramDir = ConfigStore::ExecutableDir();
        headless.m_nStatusPort = options.m_nStatusPort;
        headless.m_strStatusBind = options.m_strStatusBind;
        headless.m_statusHosts = options.m_statusHosts;
        headless.m_strControlToken = options.m_strControlToken;
        return HeadlessService::Main(headless);
    }
    if (!RelayApp::DisplayAvailable(argc, argv)) {
        std::fputs("CamRelay: 没有可用的显示器（未设置 DISPLAY 或 WAYLAND_DISPLAY）。"
                   "无窗口运行请使用 --headless。\n", stderr);
        return 1;
    }
    RelayApp app(argc, argv);
    return app.Run(options);
}
