#pragma once
#include "engine/RelayEngine.h"
#include "engine/RelaySession.h"
#include "engine/RowCells.h"
#include "ffmpeg/SourceChecks.h"
#include "web/ConsoleHost.h"

#include <QDialog>
#include <QEvent>
#include <array>
#include <functional>
#include <memory>
#include <string>

class PreviewDialog;
class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

// A monitor's reading (row, kbps) on its way to the GUI thread, posted to the main window as an
// event of its own type (thread-safe, and dropped by Qt if the window is gone).
class RelayProgressEvent : public QEvent {
public:
    static QEvent::Type EventType()
    {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    RelayProgressEvent(int row, const ProgressSample& sample) : QEvent(EventType()), m_row(row), m_sample(sample) {}
    int m_row;
    ProgressSample m_sample;
};

// Columns of the channel list.
enum ListColumn { kColName = 0, kColBitrate = 1, kColState = 2, kColTransCode = 3, kColSize = 4 };

// Menu command ids of the list's context menu, and the About command.
constexpr int ID_CHANNEL_RUN = 10001;
constexpr int ID_CHANNEL_PAUSE = 10002;
constexpr int ID_CHANNEL_EDIT = 10003;
constexpr int ID_CHANNEL_DELETE = 10004;
constexpr int ID_CHANNEL_PREVIEW = 10007;
constexpr int ID_CHANNEL_COPY = 10008;
constexpr int ID_ABOUT = 16;
// Commands of the window's own context menu (beside About).
constexpr int ID_RUN_ALL = 10005;
constexpr int ID_PAUSE_ALL = 10006;
constexpr int ID_IMPORT_CSV = 10009;
constexpr int ID_EXPORT_CSV = 10010;

// The maker's support site, shown in the support line and opened on a click.
extern const char kSupportSite[];

// The main window: the channel list, the import button, the three options and the support line.
// Owns the relay engine (children, monitors, per-row state) and receives the monitors'
// progress as posted events. Lives as long as the process; everything runs on the GUI thread,
// also the web console's requests, which arrive as queued calls. (Formerly CRelayDlg.)
class MainWindow : public QDialog, public RelayView, public MonitorSink, public ConsoleHost {
    Q_OBJECT
public:
    // appDir: the data folder (config.ini, NetStatus.txt, CamRelay.log). Tests pass manualTimers to drive
    // the engine's schedule themselves; the window's timer then never fires.
    explicit MainWindow(const std::string& appDir, bool manualTimers = false, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Handlers, public so that tests and tools can drive them.
    // The schedule's timer: the engine does what is due, the list and the endpoint follow.
    void OnTimer();
    void OnProgress(int row, const ProgressSample& sample);
    // "导入信号", or with copyOf a channel id "复制信号": the wizard opens with that channel's values.
    void OnImportSignal(int copyOf = -1);
    void OnListRightClick();
    void OnChannelCommand(int command, int row);
    void OnAutoRunClick();
    void OnRtspTcpClick();
    void OnKeepRetryingClick();
    void OnFastRestartClick();
    void OnStartIntervalChange();
    void OnWindowCommand(int command);  // 全部运行, 全部暂停, 导入CSV…, 导出CSV…, About
    // "导入CSV…": a file, the report of its rows, and after 导入 the good rows stored and listed.
    void OnImportCsv();
    // "导出CSV…": the stored channels to a file, with passwords only when the operator says so.
    void OnExportCsv();
    void OnSupportLinkClick();
    void OnSysCommand(int id);
    void OnClose();
    // Runs the wizard on channel id (opened with channel copyOf's values when given). After OK,
    // m_settings and checks hold what the operator confirmed; an edit is stored at once, a new
    // channel is left to the import.
    bool RunChannelWizard(int id, bool isNew, CheckStates& checks, int copyOf = -1);

    int FirstSelectedRow() const;
    QString CellText(int row, int column) const;
    // The row's last failure, then what its current child printed.
    QString RowDetails(int row) const;
    // Speed, frame rate, dropped frames and lost packets of a live row, one line; empty when down.
    QString LiveFigures(int row) const;
    QString RowToolTip(int row) const;
    // One publish address of a channel with several, as the row's tooltip shows it: its number,
    // masked address and state, with its bitrate while live or its failures and why.
    static QString OutputLine(const OutputView& output);

    // RelayView: each event shows the engine's texts of the row's cells.
    void OnRowEvent(int row, const RowEvent& event) override;
    void ShowMessage(const std::string& text) override;
    void ShowLoggedWarning(const std::string& text) override { ShowMessage(text); }
    // MonitorSink: called on monitor threads, posts the reading to the GUI thread.
    void PostProgress(int row, const ProgressSample& sample) override;
    void PostOutputEnded(int row) override;
    // ConsoleHost: called on the status server's thread, carried out on the GUI thread.
    void Submit(ConsoleRequest request, std::function<void(ConsoleReply)> reply) override;
    bool CanReload() const override { return false; }
    // The source checks of 预览 and of the status endpoint's previews (made at first use).
    SourceChecks& Checks();

    RelayEngine m_engine;
    RelaySession m_session;  // start-up scan, row appends, start queue and stop, shared with the service
    ChannelRecord m_settings;  // working copy of the last wizard result
    int m_nNextId = 0;
    bool m_bAutoRun = false;
    std::string m_strAppDir;
    QTableWidget* m_list = nullptr;

    // Test seams: the context menu's choice and the support-site opener.
    std::function<int(int row)> m_menuChooser;
    std::function<void(const QString&)> m_urlOpener;
    // Called after each supervision tick and each bitrate reading (the status endpoint).
    std::function<void()> m_onStatusChange;

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void reject() override;

private:
    void OnInitDialog();
    void BuildWindow();
    // Starts the timer for the engine's next deadline.
    void Reschedule();
    // Writes the cells of the row whose text differs from the engine's.
    void SyncRow(int row);
    void ShowRowDetails(int row);
    void ShowCell(int row, int column, const std::string& text);
    // Each column with the member of RowCells it shows.
    static const std::array<std::pair<int, std::string RowCells::*>, 5>& CellTexts();
    // "预览": a check of the row's stored source in a dialog; the running child is not touched.
    void ShowPreview(int row);

    bool m_bManualTimers;
    bool m_bClosed = false;
    WizardLaunch m_lastLaunch;  // what the wizard's launch did, for the row the import appends
    QPushButton* m_importButton = nullptr;
    QCheckBox* m_autoRunBox = nullptr;
    QCheckBox* m_rtspTcpBox = nullptr;
    QCheckBox* m_keepRetryBox = nullptr;
    QCheckBox* m_fastRestartBox = nullptr;
    QDoubleSpinBox* m_startInterval = nullptr;
    QLabel* m_supportLine = nullptr;
    QTimer* m_schedule = nullptr;  // single shot, at the engine's next deadline
    PreviewDialog* m_pPreview = nullptr;  // the open preview, for the result of its check
    int m_nPreviewId = -1;
    // Last: destroyed first, so that no check posts to a window being torn down.
    std::unique_ptr<SourceChecks> m_sourceChecks;
};
