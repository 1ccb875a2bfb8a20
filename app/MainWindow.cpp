#include "app/MainWindow.h"

#include "Version.h"
#include "app/AboutDialog.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>


const char kSupportSite[] = "https://lumora.example.com";

namespace {
const char kCaption[] = "Lumora云IP监控摄像头直播客户端";
const int kColumnWidth = 124;
const int kBitrateWidth = 236;  // "连续10次直播失败，每分钟重试。。。！" whole

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Shows a menu of commands at pos (a separator before About); returns the chosen id, 0 for none.
int ChooseCommand(QWidget* parent, std::initializer_list<std::pair<int, const char*>> items, const QPoint& pos)
{
    QMenu menu(parent);
    for (const auto& [id, text] : items) {
        if (id == ID_ABOUT)
            menu.addSeparator();
        QAction* action = menu.addAction(QString::fromUtf8(text));
        action->setObjectName(QString::number(id));
        action->setData(id);
    }
    const QAction* chosen = menu.exec(pos);
    return chosen ? chosen->data().toInt() : 0;
}

}  // namespace

MainWindow::MainWindow(const std::string& appDir, bool manualTimers, QWidget* parent)
    : QDialog(parent), m_engine(appDir, *this, *this), m_session(m_engine), m_strAppDir(appDir),
      m_bManualTimers(manualTimers)
{
    BuildWindow();
    OnInitDialog();
}

MainWindow::~MainWindow()
{
    m_schedule->stop();
    m_engine.StopAllChannels();
}

void MainWindow::BuildWindow()
{
    setWindowIcon(QIcon(":/camrelay.png"));
    setWindowTitle(QString::fromUtf8(kCaption));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);

    m_importButton = new QPushButton(QStringLiteral("导入信号"), this);
    m_importButton->setObjectName("1000");
    m_importButton->setAutoDefault(false);
    m_importButton->setMinimumWidth(90);
    m_autoRunBox = new QCheckBox(QStringLiteral("自动开启直播"), this);
    m_autoRunBox->setObjectName("1055");
    m_rtspTcpBox = new QCheckBox(QStringLiteral("TCP模式拉监控视频"), this);
    m_rtspTcpBox->setObjectName("1056");
    m_keepRetryBox = new QCheckBox(QStringLiteral("失败后持续重试"), this);
    m_keepRetryBox->setObjectName("1057");
    m_fastRestartBox = new QCheckBox(QStringLiteral("快速重启"), this);
    m_fastRestartBox->setObjectName("fastRestart");
    m_fastRestartBox->setToolTip(QStringLiteral("直播中的信号断开后立即重新连接，不等下一次检查"));
    m_startInterval = new QDoubleSpinBox(this);
    m_startInterval->setObjectName("startInterval");
    m_startInterval->setRange(0, 60);
    m_startInterval->setDecimals(1);
    m_startInterval->setSingleStep(0.1);
    m_startInterval->setSuffix(QStringLiteral(" 秒"));
    m_startInterval->setSpecialValueText(QStringLiteral("默认"));
    m_startInterval->setToolTip(QStringLiteral("自动开启直播和“全部运行”时，两个信号启动之间的间隔（0.1–60 秒）；默认：窗口 5 秒，全部运行 0.25 秒"));

    m_list = new QTableWidget(0, 5, this);
    m_list->setObjectName("1049");
    m_list->setHorizontalHeaderLabels({QStringLiteral("名称"), QStringLiteral("输出码率"), QStringLiteral("状态"),
                                       QStringLiteral("是否重新编码"), QStringLiteral("输出尺寸")});
    for (int c = 0; c < 5; ++c) {
        m_list->setColumnWidth(c, c == kColBitrate ? kBitrateWidth : kColumnWidth);
        m_list->horizontalHeaderItem(c)->setTextAlignment(Qt::AlignCenter);
    }
    m_list->verticalHeader()->hide();
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setMinimumSize(4 * kColumnWidth + kBitrateWidth + 4, 300);
    m_list->viewport()->installEventFilter(this);

    m_supportLine = new QLabel(QStringLiteral("Lumora科技提供技术支持：") + QString::fromLatin1(kSupportSite), this);
    m_supportLine->setObjectName("1053");
    m_supportLine->setStyleSheet("color: rgb(0, 0, 255); background: transparent;");
    m_supportLine->setCursor(Qt::PointingHandCursor);
    m_supportLine->installEventFilter(this);

    auto* top = new QHBoxLayout;
    top->addSpacing(50);
    top->addWidget(m_importButton);
    top->addStretch(1);
    top->addWidget(m_autoRunBox);
    top->addSpacing(10);
    top->addWidget(m_rtspTcpBox);
    top->addSpacing(10);
    top->addWidget(m_keepRetryBox);
    top->addSpacing(10);
    top->addWidget(m_fastRestartBox);
    top->addSpacing(10);
    top->addWidget(new QLabel(QStringLiteral("启动间隔"), this));
    top->addWidget(m_startInterval);
    top->addSpacing(40);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(m_supportLine);
    bottom->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 10);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(m_list, 1);
    layout->addLayout(bottom);

    connect(m_importButton, &QPushButton::clicked, this, [this] { OnImportSignal(); });
    connect(m_autoRunBox, &QCheckBox::clicked, this, [this] { OnAutoRunClick(); });
    connect(m_rtspTcpBox, &QCheckBox::clicked, this, [this] { OnRtspTcpClick(); });
    connect(m_keepRetryBox, &QCheckBox::clicked, this, [this] { OnKeepRetryingClick(); });
    connect(m_fastRestartBox, &QCheckBox::clicked, this, [this] { OnFastRestartClick(); });
    connect(m_startInterval, &QDoubleSpinBox::editingFinished, this, [this] { OnStartIntervalChange(); });
    connect(m_list, &QTableWidget::customContextMenuRequested, this, [this] { OnListRightClick(); });
    connect(m_list, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { ShowRowDetails(row); });
    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, [this] { OnSysCommand(ID_ABOUT); });
    resize(960, 460);
}

void MainWindow::OnInitDialog()
{
    setWindowTitle(QString::fromUtf8(kCaption) + "(" + CAMRELAY_VERSION_TEXT + ")");
    m_schedule = new QTimer(this);
    m_schedule->setSingleShot(true);
    connect(m_schedule, &QTimer::timeout, this, [this] { OnTimer(); });

    const GlobalFlags flags = m_session.LoadFlags();
    m_nNextId = flags.m_nNextId;
    m_bAutoRun = flags.m_bAutoRun;
    m_autoRunBox->setChecked(m_bAutoRun);
    m_rtspTcpBox->setChecked(m_engine.Options().m_bRTSPuseTCP);
    m_keepRetryBox->setChecked(m_engine.Options().m_bKeepRetrying);
    m_fastRestartBox->setChecked(m_engine.Options().m_bFastRestart);
    m_startInterval->setValue(m_engine.Options().m_nStartIntervalMs / 1000.0);
    m_session.LoadChannels(m_bAutoRun);
    m_engine.PaceStarts(kTimerPeriodMs, kTimerPeriodMs);  // auto-run: one stored channel per tick
    Reschedule();
}

// Shown once the current handler has returned: a message box's own event loop must not run
// while the relay engine is in the middle of a tick or a launch.
void MainWindow::ShowMessage(const std::string& text)
{
    QMetaObject::invokeMethod(this, [this, message = Q(text)] {
        if (!m_bClosed)
            Prompt::Message(this, message);
    }, Qt::QueuedConnection);
}

// ---- progress ----

void MainWindow::PostProgress(int row, const ProgressSample& sample)
{
    QCoreApplication::postEvent(this, new RelayProgressEvent(row, sample));
}

void MainWindow::PostOutputEnded(int row)
{
    QMetaObject::invokeMethod(this, [this, row] {
        m_engine.OnOutputEnded(row);
        Reschedule();  // a relaunch may have set a deadline
        if (m_onStatusChange)
            m_onStatusChange();
    }, Qt::QueuedConnection);
}

bool MainWindow::event(QEvent* e)
{
    if (e->type() == RelayProgressEvent::EventType()) {
        const auto* reading = static_cast<RelayProgressEvent*>(e);
        OnProgress(reading->m_row, reading->m_sample);
        return true;
    }
    return QDialog::event(e);
}

void MainWindow::OnProgress(int row, const ProgressSample& sample)
{
    m_engine.OnProgress(row, sample);
    if (m_onStatusChange)
        m_onStatusChange();
}

// ---- the schedule ----

void MainWindow::Reschedule()
{
    if (m_bManualTimers || m_bClosed)
        return;
    const std::int64_t waitNs = m_engine.NextDeadline() - SteadyNs();
    m_schedule->start(static_cast<int>(std::clamp<std::int64_t>(waitNs / 1000000 + 1, 0, kTimerPeriodMs)));
}

void MainWindow::OnTimer()
{
    if (m_bClosed)
        return;
    m_engine.Advance();
    if (m_onStatusChange)
        m_onStatusChange();
    Reschedule();
}

// ---- context menu ----

void MainWindow::OnListRightClick()
{
    const int row = FirstSelectedRow();
    if (row < 0)
        return;  // no menu without a selected row
    const int command = m_menuChooser ? m_menuChooser(row)
                                      : ChooseCommand(m_list, {{ID_CHANNEL_RUN, "运行"}, {ID_CHANNEL_PAUSE, "暂停"},
                                                               {ID_CHANNEL_EDIT, "编辑"}, {ID_CHANNEL_DELETE, "删除"},
                                                               {ID_CHANNEL_PREVIEW, "预览"}, {ID_CHANNEL_COPY, "复制信号"}},
                                                      QCursor::pos());
    OnChannelCommand(command, row);
}

void MainWindow::OnChannelCommand(int command, int row)
{
    if (row < 0 || row >= m_engine.RowCount() || m_bClosed)
        return;
    switch (command) {
    case ID_CHANNEL_RUN:
        m_engine.StartChannel(row);
        break;
    case ID_CHANNEL_PAUSE:
        m_engine.PauseChannel(row);
        break;
    case ID_CHANNEL_EDIT: {
        CheckStates checks{};
        if (RunChannelWizard(m_engine.View(row).id, false, checks) && !m_settings.name.empty()) {
            m_engine.Rename(row, m_settings.name);
            m_engine.ShowAddresses(row, m_settings.sourceUrl, m_settings.publishUrl);
            m_engine.ApplyPublishEdits(row);
        }
        break;
    }
    case ID_CHANNEL_DELETE:
        m_engine.DeleteChannel(row);
        break;
    case ID_CHANNEL_PREVIEW:
        ShowPreview(row);
        break;
    case ID_CHANNEL_COPY:
        OnImportSignal(m_engine.View(row).id);
        break;
    default:
        break;
    }
}

// ---- window chrome and options ----

void MainWindow::OnAutoRunClick()
{
    m_bAutoRun = m_autoRunBox->isChecked();
    ConfigStore(m_strAppDir).SetValue(m_bAutoRun ? "1" : "0", "m_bAutoRun");
}

void MainWindow::OnRtspTcpClick()
{
    m_engine.SetRtspTcp(m_rtspTcpBox->isChecked());
    ConfigStore(m_strAppDir).SetValue(m_engine.Options().m_bRTSPuseTCP ? "1" : "0", "m_bRTSPuseTCP");
}

void MainWindow::OnFastRestartClick()
{
    m_engine.SetFastRestart(m_fastRestartBox->isChecked());
    ConfigStore(m_strAppDir).SetValue(m_engine.Options().m_bFastRestart ? "1" : "0", "m_bFastRestart");
}

// 0 ("默认") removes the choice: the key is stored empty and each pacing is its own again.
void MainWindow::OnStartIntervalChange()
{
    const int ms = static_cast<int>(m_startInterval->value() * 1000 + 0.5);
    const int stored = ms == 0 ? 0 : std::clamp(ms, 100, 60000);
    if (stored == m_engine.Options().m_nStartIntervalMs)
        return;
    m_engine.SetStartIntervalMs(stored);
    m_startInterval->setValue(stored / 1000.0);
    ConfigStore(m_strAppDir).SetValue(stored == 0 ? std::string() : QString::number(stored / 1000.0, 'f', 1).toStdString(),
                                      "startInterval");
}

void MainWindow::OnKeepRetryingClick()
{
    m_engine.SetKeepRetrying(m_keepRetryBox->isChecked());
    ConfigStore(m_strAppDir).SetValue(m_engine.Options().m_bKeepRetrying ? "1" : "0", "m_bKeepRetrying");
}

void MainWindow::OnWindowCommand(int command)
{
    if (m_bClosed)
        return;
    if (command == ID_RUN_ALL) {
        m_engine.RunAll();
        Reschedule();
    } else if (command == ID_PAUSE_ALL) {
        m_engine.PauseAll();
    } else if (command == ID_IMPORT_CSV) {
        OnImportCsv();
    } else if (command == ID_EXPORT_CSV) {
        OnExportCsv();
    } else {
        OnSysCommand(command);
    }
}

void MainWindow::OnSupportLinkClick()
{
    const QString site = QString::fromLatin1(kSupportSite);
    if (m_urlOpener)
        m_urlOpener(site);
    else
        QDesktopServices::openUrl(QUrl(site));
}

void MainWindow::OnSysCommand(int id)
{
    if (id == ID_ABOUT) {
        AboutDialog about(this);
        about.exec();
    }
}

void MainWindow::contextMenuEvent(QContextMenuEvent* e)
{
    // The window menu of Linux window managers cannot be extended: the About item lives here.
    if (const int command = ChooseCommand(
            this, {{ID_RUN_ALL, "全部运行"}, {ID_PAUSE_ALL, "全部暂停"}, {ID_IMPORT_CSV, "导入CSV…"},
                   {ID_EXPORT_CSV, "导出CSV…"}, {ID_ABOUT, "关于 CamRelay(&A)..."}},
            e->globalPos()))
        OnWindowCommand(command);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == m_supportLine && e->type() == QEvent::MouseButtonRelease) {
        OnSupportLinkClick();
        return true;
    }
    if (watched == m_list->viewport() && e->type() == QEvent::MouseButtonPress) {
        // A right-click below the rows clears the selection, as in a list view, so no row's
        // menu opens away from the pointer; Qt's view alone would keep the selection.
        const auto* press = static_cast<QMouseEvent*>(e);
        if (press->button() == Qt::RightButton && !m_list->indexAt(press->position().toPoint()).isValid())
            m_list->clearSelection();
    }
    if (watched == m_list->viewport() && e->type() == QEvent::ToolTip) {
        // A row's tooltip shows what its ffmpeg last printed: the reason of a failure.
        const auto* help = static_cast<QHelpEvent*>(e);
        const QString tip = RowToolTip(m_list->rowAt(help->pos().y()));
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, m_list);
        return true;
    }
    return QDialog::eventFilter(watched, e);
}

// Enter and Escape must not end the window behind the close handler's back.
void MainWindow::keyPressEvent(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void MainWindow::reject() {}

void MainWindow::closeEvent(QCloseEvent* e)
{
    e->accept();
    OnClose();
}

void MainWindow::OnClose()
{
    if (m_bClosed)
        return;
    m_bClosed = true;
    // A wizard, menu or message box still open (a signal can close the program at any time)
    // is dismissed: nothing may start once the children have been stopped.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget != this && widget->isVisible() && (qobject_cast<QDialog*>(widget) || qobject_cast<QMenu*>(widget)))
            widget->close();
    m_schedule->stop();
    m_session.Shutdown();  // stored state words stay: auto-run resumes them next time
    QDialog::done(0);
}
