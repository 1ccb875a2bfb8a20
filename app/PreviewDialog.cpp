#include "app/PreviewDialog.h"

#include "wizard/SourceFrame.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kFrameWidth = 480, kFrameHeight = 270;
}  // namespace

PreviewDialog::PreviewDialog(const QString& name, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("预览 - ") + name);
    m_pFrame = new QLabel(this);
    m_pFrame->setObjectName("previewFrame");
    m_pFrame->setFixedSize(kFrameWidth, kFrameHeight);
    m_pFrame->setAlignment(Qt::AlignCenter);
    m_pFrame->setStyleSheet("background: #20202a; color: #c0c0d0;");
    m_pReport = new QPlainTextEdit(this);
    m_pReport->setObjectName("previewReport");
    m_pReport->setReadOnly(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(QStringLiteral("关闭"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pFrame, 0, Qt::AlignHCenter);
    layout->addWidget(m_pReport, 1);
    layout->addWidget(buttons);
    resize(560, 560);
}

void PreviewDialog::ShowRunning()
{
    m_pFrame->setText(QStringLiteral("正在截取画面……"));
    m_pReport->setPlainText(QStringLiteral("正在检测信号源……（最多约30秒）"));
}

void PreviewDialog::ShowBusy()
{
    m_pFrame->setText(QString());
    m_pReport->setPlainText(QStringLiteral("该信号的信号源正在检测中，请稍后再打开预览。"));
}

void PreviewDialog::ShowResult(const SourceResult& result)
{
    m_pReport->setPlainText(QString::fromStdString(result.Report()));
    ShowSourceFrame(m_pFrame, result);
}
