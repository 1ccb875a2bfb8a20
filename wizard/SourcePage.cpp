#include "wizard/SourcePage.h"

#include "ffmpeg/ChannelRules.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "ui/MessageBox.h"
#include "wizard/SourceFrame.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdlib>

namespace {
// The page's texts.
const char* const kTitle = "导入信号";
const char* const kHeading = "设置信号名字和地址";
const char* const kCheckButton = "检测信号源";
const char* const kChecking = "正在检测信号源……（最多约30秒）";
const char* const kCopySuffix = "-副本";
const char* const kExtraLabel = "其他推流地址：";
const char* const kExtraHint = "选填，最多4个，每行一个，如：rtmp://backup.example.com/live/camera01";

// A line of "其他推流地址", edited in place.
QListWidgetItem* AddExtraLine(QListWidget* list, const QString& text)
{
    auto* item = new QListWidgetItem(text, list);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    return item;
}
}  // namespace

SourcePage::SourcePage(bool isNew, QWidget* parent)
    : QDialog(parent), m_child(isNew, this),
      m_ffmpeg(FfmpegLocation::Find(ConfigStore::ExecutableDir(), std::getenv("PATH")))
{
    setWindowTitle(QString::fromUtf8(kTitle));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xED, 0xED, 0xF5));
    setPalette(pal);
    setAutoFillBackground(true);

    auto* heading = new QLabel(QString::fromUtf8(kHeading), this);
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.2);
    heading->setFont(headingFont);

    auto makeEdit = [this](const char* id) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(id);
        edit->setMaxLength(static_cast<int>(ChannelRules::kMaxFieldLength));
        return edit;
    };
    m_pName = makeEdit("1001");
    m_pSource = makeEdit("1002");
    m_pPublish = makeEdit("1003");
    m_pStreamName = makeEdit("1004");

    // Each field has its label on the left and its hint just above it.
    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    grid->setVerticalSpacing(4);
    int row = 0;
    auto addField = [&](const char* label, const char* hint, QLineEdit* edit) {
        auto* hintLabel = new QLabel(QString::fromUtf8(hint), this);
        hintLabel->setStyleSheet("color: #666680;");
        grid->addWidget(hintLabel, row, 1);
        grid->addWidget(new QLabel(QString::fromUtf8(label), this), row + 1, 0);
        grid->addWidget(edit, row + 1, 1);
        grid->setRowMinimumHeight(row + 2, 18);
        row += 3;
    };
    addField("名称：", "如：1", m_pName);
    addField("信号源地址：", "如：rtsp://192.168.1.66/onvif/live/1", m_pSource);
    m_pCheck = new QPushButton(QString::fromUtf8(kCheckButton), this);
    m_pCheck->setObjectName("1005");
    m_pCheck->setAutoDefault(false);  // Enter still means "下一步"
    connect(m_pCheck, &QPushButton::clicked, this, &SourcePage::OnCheckSource);
    grid->addWidget(m_pCheck, row - 2, 2);
    addField("发布地址：", "如：rtmp://push.example.com/live/camera01", m_pPublish);
    // The further addresses: a short list edited in place, with its buttons beside it as
    // 检测信号源 stands beside the source.
    m_pExtraPublish = new QListWidget(this);
    m_pExtraPublish->setObjectName("extraPublish");
    m_pExtraPublish->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                                     QAbstractItemView::SelectedClicked);
    m_pExtraPublish->setFixedHeight(m_pExtraPublish->fontMetrics().height() * 5 + 8);  // four lines
    m_pAddExtra = new QPushButton(QString::fromUtf8("添加"), this);
    m_pAddExtra->setObjectName("extraPublishAdd");
    m_pRemoveExtra = new QPushButton(QString::fromUtf8("删除"), this);
    m_pRemoveExtra->setObjectName("extraPublishRemove");
    for (QPushButton* button : {m_pAddExtra, m_pRemoveExtra})
        button->setAutoDefault(false);
    connect(m_pAddExtra, &QPushButton::clicked, this, &SourcePage::OnAddExtra);
    connect(m_pRemoveExtra, &QPushButton::clicked, this, [this] {
        delete m_pExtraPublish->currentItem();
        UpdateExtraButtons();
    });
    connect(m_pExtraPublish, &QListWidget::currentRowChanged, this, &SourcePage::UpdateExtraButtons);
    auto* extraHint = new QLabel(QString::fromUtf8(kExtraHint), this);
    extraHint->setStyleSheet("color: #666680;");
    grid->addWidget(extraHint, row, 1);
    grid->addWidget(new QLabel(QString::fromUtf8(kExtraLabel), this), row + 1, 0, Qt::AlignTop);
    grid->addWidget(m_pExtraPublish, row + 1, 1);
    auto* extraButtons = new QVBoxLayout;
    extraButtons->addWidget(m_pAddExtra);
    extraButtons->addWidget(m_pRemoveExtra);
    extraButtons->addStretch();
    grid->addLayout(extraButtons, row + 1, 2);
    grid->setRowMinimumHeight(row + 2, 18);
    row += 3;
    // The stream name is loaded and handed on, but not shown.
    auto* streamLabel = new QLabel(QString::fromUtf8("发布流名称："), this);
    grid->addWidget(streamLabel, row, 0);
    grid->addWidget(m_pStreamName, row, 1);
    streamLabel->hide();
    m_pStreamName->hide();

    auto* next = new QPushButton(QString::fromUtf8("下一步"), this);
    next->setObjectName("1006");
    next->setDefault(true);  // Enter runs the same checks as a click
    connect(next, &QPushButton::clicked, this, &SourcePage::OnNext);

    // The check's result: the frame beside the report, shown once a check has started.
    m_pFrame = new QLabel(this);
    m_pFrame->setObjectName("probeFrame");
    m_pFrame->setFixedSize(256, 144);
    m_pFrame->setAlignment(Qt::AlignCenter);
    m_pFrame->setStyleSheet("background: #20202a; color: #c0c0d0;");
    m_pReport = new QPlainTextEdit(this);
    m_pReport->setObjectName("probeReport");
    m_pReport->setReadOnly(true);
    m_pReport->setFixedHeight(144);
    auto* result = new QHBoxLayout;
    result->addWidget(m_pFrame);
    result->addWidget(m_pReport, 1);
    m_pFrame->hide();
    m_pReport->hide();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(next);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(40, 24, 40, 24);
    page->addWidget(heading);
    page->addSpacing(16);
    page->addLayout(grid);
    page->addLayout(result);
    page->addStretch();
    page->addLayout(buttons);
    resize(720, 640);  // about 379 x 284 dialog units, and room for the extra addresses and a check's result
}

SourcePage::~SourcePage()
{
    CancelCheck();
}

void SourcePage::SetChannel(int id, const std::string& appDir, int copyOf)
{
    m_nId = id;
    m_nCopyOf = copyOf;
    m_strAppDir = appDir;
    m_child.SetChannel(id, appDir, copyOf);
}

int SourcePage::exec()
{
    LoadStored();
    return QDialog::exec();
}

void SourcePage::LoadStored()
{
    const ChannelRecordText stored = LoadChannelText(ConfigStore(m_strAppDir), m_nCopyOf >= 0 ? m_nCopyOf : m_nId).record;
    m_pName->setText(QString::fromStdString(m_nCopyOf >= 0 ? stored.name + kCopySuffix : stored.name));
    m_pSource->setText(QString::fromStdString(stored.sourceUrl));
    m_pPublish->setText(QString::fromStdString(stored.publishUrl));
    m_pStreamName->setText(QString::fromStdString(stored.streamName));
    m_pExtraPublish->clear();
    for (const std::string& address : stored.extraPublish)
        AddExtraLine(m_pExtraPublish, QString::fromStdString(address));
    UpdateExtraButtons();
}

void SourcePage::UpdateExtraButtons()
{
    m_pAddExtra->setEnabled(m_pExtraPublish->count() < static_cast<int>(kMaxExtraPublish));
    m_pRemoveExtra->setEnabled(m_pExtraPublish->currentItem() != nullptr);
}

void SourcePage::OnAddExtra()
{
    if (m_pExtraPublish->count() >= static_cast<int>(kMaxExtraPublish))
        return;
    QListWidgetItem* item = AddExtraLine(m_pExtraPublish, {});
    m_pExtraPublish->setCurrentItem(item);
    m_pExtraPublish->editItem(item);
    UpdateExtraButtons();
}

void SourcePage::done(int result)
{
    CancelCheck();
    QDialog::done(result);
}

void SourcePage::CancelCheck()
{
    if (m_check) {
        m_check->Cancel();
        m_check->Wait();
    }
    m_pCheck->setEnabled(true);
}

void SourcePage::OnCheckSource()
{
    const std::string text = m_pSource->text().toStdString();
    if (const std::string problem = ChannelRules::SourceAddressProblem(text); !problem.empty()) {
        Prompt::Message(this, QString::fromStdString(problem));
        return;
    }
    // Advice for what the encoding page would hand over now: the stored settings, or a new
    // channel's defaults.
    SourceRequest request;
    request.url = text;
    request.rtspTcp = StoredRtspTcp(ConfigStore(m_strAppDir));
    request.publishUrl = m_pPublish->text().toStdString();
    m_child.OpeningValues(&request.settings, &request.checks);
    if (!m_check)
        m_check = std::make_unique<SourceCheck>(m_ffmpeg);
    const bool started = m_check->Start(request, [this, text](SourceResult result) {
        QMetaObject::invokeMethod(this, [this, text, result = std::move(result)] { OnCheckDone(result, text); },
                                  Qt::QueuedConnection);
    });
    if (!started)
        return;
    m_pCheck->setEnabled(false);
    m_pFrame->clear();
    m_pFrame->show();
    m_pReport->setPlainText(QString::fromUtf8(kChecking));
    m_pReport->show();
}

void SourcePage::OnCheckDone(const SourceResult& result, const std::string& url)
{
    if (result.cancelled)
        return;  // the page closed; what it shows no longer matters
    m_pCheck->setEnabled(true);
    m_lastCheck = result;
    m_strCheckedUrl = url;
    m_pReport->setPlainText(QString::fromStdString(result.Report()));
    ShowSourceFrame(m_pFrame, result);
}

void SourcePage::OnNext()
{
    name = m_pName->text().toStdString();
    sourceUrl = m_pSource->text().toStdString();
    publishUrl = m_pPublish->text().toStdString();
    streamName = m_pStreamName->text().toStdString();
    // A line still being typed counts as typed: leaving it commits it. A line added and left
    // empty is no address.
    m_pExtraPublish->setCurrentItem(nullptr);
    extraPublish.clear();
    for (int i = 0; i < m_pExtraPublish->count(); ++i)
        if (std::string address = m_pExtraPublish->item(i)->text().toStdString(); !address.empty())
            extraPublish.push_back(std::move(address));
    // The encoding page gets the addresses on every press, before the checks.
    m_child.sourceUrl = sourceUrl;
    m_child.publishUrl = publishUrl;
    m_child.streamName = streamName;
    m_child.SetChannel(m_nId, m_strAppDir, m_nCopyOf);
    // What the last finished check found counts only for the address it checked; a check still
    // running when the page opens reports to this page while that one is open.
    m_child.SourceVideoCodec = [this] {
        return m_lastCheck && m_strCheckedUrl == sourceUrl ? m_lastCheck->streams.videoCodec : std::string();
    };
    m_child.SourceFlvHevc = [this] { return m_lastCheck && m_strCheckedUrl == sourceUrl && m_lastCheck->flvHevc; };
    m_child.SourceFound = [this] {
        return m_lastCheck && m_strCheckedUrl == sourceUrl ? m_lastCheck->streams : SourceStreams();
    };

    if (const std::string problem = ChannelRules::SourceProblem(name, sourceUrl, publishUrl); !problem.empty()) {
        Prompt::Message(this, QString::fromStdString(problem));
        return;
    }
    ChannelRecord addresses;
    addresses.publishUrl = publishUrl;
    addresses.extraPublish = extraPublish;
    if (const std::string problem = ChannelRules::ExtraPublishProblem(addresses); !problem.empty()) {
        Prompt::Message(this, QString::fromStdString(problem));
        return;
    }
    // A password with '#', '/' or '?' cuts the address where ffmpeg reads it: offer the form it
    // reads as typed.
    if (const auto advice = ChannelRules::AdvisePassword(sourceUrl);
        advice && Prompt::Question(this, QString::fromStdString(advice->question))) {
        m_pSource->setText(QString::fromStdString(advice->encodedUrl));
        sourceUrl = m_child.sourceUrl = advice->encodedUrl;
    }
    // A cancelled encoding page leaves this page open; the next press opens it afresh.
    if (m_child.exec() == QDialog::Accepted)
        accept();
}

ChannelRecord SourcePage::Values() const
{
    ChannelRecord values = m_child.Values();
    values.name = name;
    values.extraPublish = extraPublish;
    values.extraPublishShown = true;
    return values;
}

CheckStates SourcePage::Checks() const
{
    return m_child.Checks();
}
