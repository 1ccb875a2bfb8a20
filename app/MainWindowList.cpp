// The channel list of the main window: the engine's row events as cell texts, and what a row
// shows of its failures and output (tooltip and the details dialog), and its source (预览).
#include "app/MainWindow.h"

#include "app/PreviewDialog.h"
#include "ffmpeg/OutputMonitor.h"
#include "settings/ChannelStore.h"

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

namespace {
const std::size_t kDetailLines = 12;  // lines of the failure and of the live output in a row's tooltip

QString Text(const std::string& text) { return QString::fromStdString(text); }

// A live but degraded row's bitrate cell: the colour of a warning, not of a failure.
const QColor kDegradedColour(255, 221, 170);
}  // namespace

void MainWindow::OnRowEvent(int row, const RowEvent& e)
{
    if (e.m_kind == RowEvent::Kind::Appended)
        m_list->insertRow(row);
    SyncRow(row);
}

void MainWindow::SyncRow(int row)
{
    if (row < 0 || row >= m_list->rowCount())
        return;
    const RowCells cells = m_engine.Cells(row);
    // Only the cells whose text changed are written: an empty cell keeps no item.
    for (const auto& [column, text] : CellTexts()) {
        if (Text(cells.*text) != CellText(row, column))
            ShowCell(row, column, cells.*text);
    }
    if (QTableWidgetItem* item = m_list->item(row, kColBitrate); item && item->background().style() != Qt::NoBrush) {
        if (cells.health.empty())
            item->setBackground(QBrush());
    } else if (item && !cells.health.empty()) {
        item->setBackground(kDegradedColour);
    }
}

QString MainWindow::LiveFigures(int row) const
{
    const RowView view = m_engine.View(row);
    if (!view.up)
        return {};
    QStringList parts;
    if (view.speed >= 0)
        parts << QStringLiteral("速度 %1 倍实时").arg(view.speed, 0, 'f', 2);
    if (view.fps >= 0)
        parts << QStringLiteral("%1 帧/秒").arg(view.fps, 0, 'f', 1);
    parts << QStringLiteral("丢帧 %1").arg(view.droppedFrames) << QStringLiteral("丢包 %1").arg(view.lostPackets);
    return parts.join(QStringLiteral("，"));
}

// ---- list cells ----

const std::array<std::pair<int, std::string RowCells::*>, 5>& MainWindow::CellTexts()
{
    static const std::array<std::pair<int, std::string RowCells::*>, 5> columns = {{
        {kColName, &RowCells::name}, {kColBitrate, &RowCells::bitrate}, {kColState, &RowCells::state},
        {kColTransCode, &RowCells::transCode}, {kColSize, &RowCells::size}}};
    return columns;
}

void MainWindow::ShowCell(int row, int column, const std::string& text)
{
    QTableWidgetItem* item = m_list->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        item->setTextAlignment(Qt::AlignCenter);
        m_list->setItem(row, column, item);
    }
    item->setText(Text(text));
}

QString MainWindow::CellText(int row, int column) const
{
    const QTableWidgetItem* item = m_list->item(row, column);
    return item ? item->text() : QString();
}

int MainWindow::FirstSelectedRow() const
{
    int first = -1;
    for (const QModelIndex& index : m_list->selectionModel()->selectedIndexes())
        if (first < 0 || index.row() < first)
            first = index.row();
    return first;
}

QString MainWindow::RowDetails(int row) const
{
    QStringList lines;
    if (const std::string health = m_engine.Cells(row).health; !health.empty())
        lines << Text(health);
    if (const QString figures = LiveFigures(row); !figures.isEmpty())
        lines << figures << QString();
    for (const std::string& line : m_engine.RowFailure(row))
        lines << Text(line);
    const std::vector<std::string> output = WithoutBanner(m_engine.RowOutput(row), SIZE_MAX);
    if (!lines.isEmpty() && !output.empty())
        lines << QString() << QStringLiteral("当前输出:");
    for (const std::string& line : output)
        lines << Text(line);
    return lines.join('\n');
}

QString MainWindow::RowToolTip(int row) const
{
    if (row < 0 || row >= m_list->rowCount())
        return {};
    // Why the channel last failed comes first (the sentence and ffmpeg's deciding line), then the
    // full text of the narrow status cell, the failed attempt's last lines and the live output.
    QStringList lines;
    if (const std::string health = m_engine.Cells(row).health; !health.empty())
        lines << Text(health);
    if (const QString figures = LiveFigures(row); !figures.isEmpty())
        lines << figures;
    const auto last = [](const std::vector<std::string>& from, std::size_t from0, QStringList& to) {
        for (std::size_t i = std::max(from0, from.size() > kDetailLines ? from.size() - kDetailLines : 0); i < from.size(); ++i)
            to << Text(from[i]);
    };
    const std::vector<std::string> failure = m_engine.RowFailure(row);
    const std::size_t why = failure.empty() ? 0 : failure.size() - m_engine.View(row).lastFailure->m_lines.size() - 1;
    for (std::size_t i = 0; i < why; ++i)
        lines << Text(failure[i]);
    if (const QString status = CellText(row, kColBitrate).trimmed(); !status.isEmpty())
        lines << status;
    if (!failure.empty())
        lines << Text(failure[why]);
    last(failure, why + 1, lines);
    const std::vector<std::string> output = WithoutBanner(m_engine.RowOutput(row), kDetailLines);
    if (!failure.empty() && !output.empty())
        lines << QStringLiteral("当前输出:");
    last(output, 0, lines);
    for (const OutputView& o : m_engine.View(row).outputs)
        lines << OutputLine(o);
    if (lines.isEmpty())
        return {};
    return lines.join('\n') + QStringLiteral("\n（双击查看全部输出）");
}

QString MainWindow::OutputLine(const OutputView& o)
{
    const std::string_view state = o.state;
    QString line = QStringLiteral("推流地址%1 %2：").arg(o.number).arg(Text(o.publish));
    if (state == "live")
        return line + QStringLiteral("直播中") + (o.up ? QStringLiteral(" %1kbps").arg(o.kbps) : QString());
    if (state == "starting")
        return line + QStringLiteral("启动中");
    if (state != "failing")
        return line + QStringLiteral("已停止");
    line += QStringLiteral("失败（%1次）").arg(o.failures);
    return o.causeText.empty() ? line : line + QStringLiteral("：") + Text(o.causeText);
}

void MainWindow::ShowRowDetails(int row)
{
    if (row < 0 || row >= m_list->rowCount())
        return;
    QDialog box(this);
    box.setWindowTitle(QStringLiteral("输出详情 - ") + CellText(row, kColName));
    auto* text = new QPlainTextEdit(&box);
    text->setObjectName("details");
    text->setReadOnly(true);
    // Refreshed while open; the view stays where the operator scrolled it unless it was at the end.
    const auto refresh = [this, row, text] {
        const QString details = RowDetails(row);
        const QString shown = details.isEmpty() ? QStringLiteral("（ffmpeg 尚无输出）") : details;
        if (shown == text->toPlainText())
            return;
        QScrollBar* bar = text->verticalScrollBar();
        const bool atEnd = bar->value() == bar->maximum();
        const int position = bar->value();
        text->setPlainText(shown);
        if (atEnd)
            text->moveCursor(QTextCursor::End);
        else
            bar->setValue(position);
    };
    refresh();
    // Why the channel last failed comes first; without a failure, what it printed last matters.
    text->moveCursor(m_engine.RowFailure(row).empty() ? QTextCursor::End : QTextCursor::Start);
    auto* timer = new QTimer(&box);
    connect(timer, &QTimer::timeout, &box, refresh);
    timer->start(1000);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &box);
    buttons->button(QDialogButtonBox::Close)->setText(QStringLiteral("关闭"));
    connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    auto* layout = new QVBoxLayout(&box);
    layout->addWidget(text);
    layout->addWidget(buttons);
    box.resize(640, 320);
    box.exec();
}

SourceChecks& MainWindow::Checks()
{
    if (!m_sourceChecks)
        m_sourceChecks = std::make_unique<SourceChecks>(m_engine.Ffmpeg());
    return *m_sourceChecks;
}

void MainWindow::ShowPreview(int row)
{
    const int id = m_engine.View(row).id;
    SourceRequest request = StoredSourceRequest(ConfigStore(m_strAppDir), id);
    request.measureKeyframes = false;  // a preview wants its picture soon
    PreviewDialog box(CellText(row, kColName), this);
    // The result is posted to the window, which outlives every check, and handed to the dialog
    // only while it is open for that channel.
    const bool started = Checks().Start(id, request, [this, id](const SourceResult& result) {
        QMetaObject::invokeMethod(this, [this, id, result] {
            if (m_pPreview && m_nPreviewId == id && !result.cancelled)
                m_pPreview->ShowResult(result);
        }, Qt::QueuedConnection);
    });
    started ? box.ShowRunning() : box.ShowBusy();
    m_pPreview = &box, m_nPreviewId = id;
    box.exec();
    m_pPreview = nullptr;
    // A check this dialog did not start (the web console's of the same channel) is not its to end.
    if (started)
        Checks().Cancel(id);
}
