// The channel list as CSV from the window: 导入CSV… shows the report of every row and stores
// the good ones only after 导入; 导出CSV… writes the list, with passwords only when asked.
#include "app/MainWindow.h"

#include "engine/ChannelEdits.h"
#include "ffmpeg/ChannelImport.h"
#include "settings/ConfigStore.h"
#include "ui/MessageBox.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const char kCsvFilter[] = "CSV 文件 (*.csv);;所有文件 (*)";

// The import's report before anything is stored; true for 导入.
bool ConfirmImport(QWidget* parent, const std::string& report, int storable)
{
    QDialog box(parent);
    box.setObjectName(QStringLiteral("csvImport"));
    box.setWindowTitle(QStringLiteral("导入CSV"));
    box.resize(760, 480);
    auto* layout = new QVBoxLayout(&box);
    auto* text = new QPlainTextEdit(QString::fromStdString(report), &box);
    text->setObjectName(QStringLiteral("csvReport"));
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(&box);
    QPushButton* import = buttons->addButton(QStringLiteral("导入 %1 个信号").arg(storable), QDialogButtonBox::AcceptRole);
    import->setObjectName(QStringLiteral("csvConfirm"));
    import->setEnabled(storable > 0);
    buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole)->setObjectName(QStringLiteral("csvCancel"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    layout->addWidget(buttons);
    return box.exec() == QDialog::Accepted;
}
}  // namespace

void MainWindow::OnImportCsv()
{
    const QString path = Prompt::OpenFileName(this, QStringLiteral("导入CSV"), QString::fromUtf8(kCsvFilter));
    if (path.isEmpty() || m_bClosed)
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ShowMessage("无法读取 " + path.toStdString() + "：" + file.errorString().toStdString());
        return;
    }
    const QByteArray bytes = file.readAll();
    const ConfigStore store(m_strAppDir);
    ChannelImport::Plan plan = ChannelImport::PlanImport(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), store);
    if (!plan.error.empty()) {
        ShowMessage(path.toStdString() + "：" + plan.error);
        return;
    }
    if (!ConfirmImport(this, ChannelImport::Report(plan), plan.Storable()) || m_bClosed)
        return;
    // The rows are judged again against the file as it is now: the ids, and the channels stored
    // while the report was open.
    if (!ChannelImport::StoreImport(store, plan)) {
        ShowMessage("无法写入 " + store.IniPath() + "：没有导入任何信号");
        return;
    }
    m_nNextId = plan.nextId;
    const int started = AppendImported(m_session, m_engine, plan);
    m_engine.Log().Write("导入CSV " + path.toStdString() + "：" + std::to_string(plan.Storable()) + " 个信号" +
                         (started ? "，其中 " + std::to_string(started) + " 个排队启动" : ""));
    Reschedule();
}

void MainWindow::OnExportCsv()
{
    const QString path = Prompt::SaveFileName(this, QStringLiteral("导出CSV"), QString::fromUtf8(kCsvFilter), QStringLiteral("csv"));
    if (path.isEmpty() || m_bClosed)
        return;
    const bool passwords = Prompt::Question(this, QStringLiteral("导出的地址是否包含密码？\n选“否”时密码写作 ***，这样的行不能再导入。"));
    const std::string csv = ChannelImport::ExportCsv(ConfigStore(m_strAppDir), passwords);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size()) || !file.flush()) {
        ShowMessage("无法写入 " + path.toStdString() + "：" + file.errorString().toStdString());
        return;
    }
}
