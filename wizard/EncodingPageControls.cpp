// The encoding page's controls: their layout, ids, tab order and the signals they are wired to.
#include "wizard/EncodingPage.h"

#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "ui/MessageBox.h"
#include "ffmpeg/ChannelRules.h"
#include "wizard/UpDownButton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const char* const kHeading = "设置编码参数";

QLineEdit* MakeEdit(const char* id, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(id);
    edit->setMaxLength(static_cast<int>(ChannelRules::kMaxFieldLength));
    return edit;
}

QComboBox* MakeCombo(const char* id, QWidget* parent)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(id);
    combo->setEditable(true);
    // Items stay as given: typed text is neither added, sorted nor completed from the list.
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);
    combo->lineEdit()->setMaxLength(static_cast<int>(ChannelRules::kMaxFieldLength));
    return combo;
}

QCheckBox* MakeCheck(const char* id, const char* text, QWidget* parent)
{
    auto* box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setObjectName(id);
    return box;
}

QLabel* MakeLabel(const char* text, QWidget* parent)
{
    return new QLabel(QString::fromUtf8(text), parent);
}

// A row of a group's grid: the label, the field and, when given, its unit over unitSpan columns.
void AddRow(QGridLayout* grid, int& row, const char* label, QWidget* field, const char* unit, int unitSpan = 1)
{
    grid->addWidget(MakeLabel(label, grid->parentWidget()), row, 0);
    grid->addWidget(field, row, 1);
    if (unit)
        grid->addWidget(MakeLabel(unit, grid->parentWidget()), row, 2, 1, unitSpan);
    ++row;
}
}  // namespace

void EncodingPage::BuildControls()
{
    auto* heading = MakeLabel(kHeading, this);
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.2);
    heading->setFont(headingFont);

    // Video group (untitled, left).
    auto* video = new QGroupBox(this);
    m_pVideoOn = MakeCheck("1025", "启用视频", video);
    m_pVideoReencode = MakeCheck("1026", "是否重编码", video);
    m_pCopyTs = MakeCheck("1027", "拷贝时间戳", video);
    m_pVideoTrack = MakeCombo("1030", video);
    m_pBitRate = MakeEdit("1031", video);
    m_pFrameRate = MakeCombo("1032", video);
    m_pSize = MakeCombo("1033", video);
    m_pWidth = MakeEdit("1035", video);
    m_pHeight = MakeEdit("1036", video);
    m_pProfile = MakeCombo("1037", video);
    m_pMaxBitRate = MakeEdit("1040", video);
    m_pGop = MakeEdit("1041", video);
    m_pKeyframeSeconds = MakeEdit("keyframeSeconds", video);
    m_pUnused1038 = MakeCheck("1038", "启用", video);
    m_pUnused1038->hide();

    auto* videoGrid = new QGridLayout(video);
    auto* videoChecks = new QHBoxLayout;
    videoChecks->addWidget(m_pVideoOn);
    videoChecks->addWidget(m_pVideoReencode);
    videoChecks->addWidget(m_pCopyTs);
    videoChecks->addStretch();
    videoGrid->addLayout(videoChecks, 0, 0, 1, 4);
    int row = 1;
    AddRow(videoGrid, row, "视频轨道：", m_pVideoTrack, nullptr, 2);
    AddRow(videoGrid, row, "视频码率：", m_pBitRate, "Kbps", 2);
    AddRow(videoGrid, row, "视频帧率：", m_pFrameRate, "fps", 2);
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(m_pWidth);
    sizeRow->addWidget(MakeLabel("x", video));
    sizeRow->addWidget(m_pHeight);
    videoGrid->addWidget(MakeLabel("视频尺寸：", video), row, 0);
    videoGrid->addWidget(m_pSize, row, 1);
    videoGrid->addLayout(sizeRow, row, 2, 1, 2);
    ++row;
    AddRow(videoGrid, row, "Profle：", m_pProfile, nullptr, 2);
    AddRow(videoGrid, row, "最大码率：", m_pMaxBitRate, "Kbps (0为不限制)", 2);
    AddRow(videoGrid, row, "G0P：", m_pGop, nullptr, 2);
    videoGrid->addWidget(m_pUnused1038, row - 1, 2);
    AddRow(videoGrid, row, "关键帧间隔：", m_pKeyframeSeconds, "秒", 2);
    videoGrid->setColumnStretch(1, 1);
    videoGrid->setRowStretch(row, 1);

    // Audio group (untitled, right).
    auto* audio = new QGroupBox(this);
    m_pAudioOn = MakeCheck("1028", "启用音频", audio);
    m_pAudioReencode = MakeCheck("1029", "是否重编码", audio);
    m_pAudioTrack = MakeCombo("1043", audio);
    m_pAudioChannels = MakeCombo("1044", audio);
    m_pSampleRate = MakeCombo("1045", audio);
    m_pAudioBitRate = MakeCombo("1046", audio);
    m_pAudioToAac = MakeCheck("audioToAac", "音频转为AAC", audio);
    m_pSilentAudio = MakeCheck("silentAudio", "无音频时补静音", audio);
    m_pUnused1048 = MakeEdit("1048", audio);
    m_pUnused1048->hide();

    auto* audioGrid = new QGridLayout(audio);
    auto* audioChecks = new QHBoxLayout;
    audioChecks->addWidget(m_pAudioOn);
    audioChecks->addWidget(m_pAudioReencode);
    audioChecks->addStretch();
    audioGrid->addLayout(audioChecks, 0, 0, 1, 3);
    row = 1;
    AddRow(audioGrid, row, "音频轨道：", m_pAudioTrack, nullptr);
    AddRow(audioGrid, row, "音频声道：", m_pAudioChannels, nullptr);
    AddRow(audioGrid, row, "采样率：", m_pSampleRate, "Hz");
    AddRow(audioGrid, row, "音频码率：", m_pAudioBitRate, "Kbps");
    audioGrid->addWidget(m_pAudioToAac, row++, 0, 1, 3);
    audioGrid->addWidget(m_pSilentAudio, row, 0, 1, 3);
    audioGrid->addWidget(m_pUnused1048, row, 1);
    audioGrid->setColumnStretch(1, 1);
    audioGrid->setRowStretch(row + 1, 1);

    // Watermark group across the bottom.
    auto* mark = new QGroupBox(QString::fromUtf8("水印设置"), this);
    m_pFilePath = new QLineEdit(mark);  // no length cap here: an over-long path is refused, not cut
    m_pFilePath->setObjectName("1007");
    m_pChooseFile = new QPushButton(QString::fromUtf8("选择文件"), mark);
    m_pChooseFile->setObjectName("1022");
    m_pPosition = MakeCombo("1008", mark);
    m_pOffsetX = MakeEdit("1011", mark);
    m_pOffsetY = MakeEdit("1020", mark);
    m_pSpinX = new UpDownButton(m_pOffsetX, mark);
    m_pSpinX->setObjectName("1013");
    m_pSpinY = new UpDownButton(m_pOffsetY, mark);
    m_pSpinY->setObjectName("1021");

    auto* markGrid = new QGridLayout(mark);
    markGrid->addWidget(MakeLabel("水印文件：", mark), 0, 0);
    markGrid->addWidget(m_pFilePath, 0, 1, 1, 5);
    markGrid->addWidget(m_pChooseFile, 0, 6);
    markGrid->addWidget(MakeLabel("水印位置和微调：", mark), 1, 0);
    markGrid->addWidget(m_pPosition, 1, 1);
    markGrid->addWidget(m_pOffsetX, 1, 2);
    markGrid->addWidget(m_pSpinX, 1, 3);
    markGrid->addWidget(m_pOffsetY, 1, 4);
    markGrid->addWidget(m_pSpinY, 1, 5);
    markGrid->setColumnStretch(1, 2);
    markGrid->setColumnStretch(2, 1);
    markGrid->setColumnStretch(4, 1);

    // 备用画面 while the camera is down, across the bottom too.
    auto* standIn = new QGroupBox(QString::fromUtf8("备用画面（摄像头中断时推送）"), this);
    m_pStandIn = new QComboBox(standIn);
    m_pStandIn->setObjectName("standIn");
    for (const ChannelRules::StandInChoice& choice : ChannelRules::kStandInChoices)
        m_pStandIn->addItem(QString::fromUtf8(choice.text));
    m_pStandInPicture = MakeEdit("standInPicture", standIn);
    m_pStandInPicture->setPlaceholderText(QString::fromUtf8("空：深色背景"));
    m_pChooseStandIn = new QPushButton(QString::fromUtf8("选择图片"), standIn);
    m_pChooseStandIn->setObjectName("chooseStandIn");
    auto* standInRow = new QHBoxLayout(standIn);
    standInRow->addWidget(m_pStandIn);
    standInRow->addWidget(MakeLabel("图片：", standIn));
    standInRow->addWidget(m_pStandInPicture, 1);
    standInRow->addWidget(m_pChooseStandIn);

    m_pPreview = new QPushButton(QString::fromUtf8("预览"), this);
    m_pPreview->setObjectName("1023");
    m_pPreview->hide();
    m_pFinish = new QPushButton(QString::fromUtf8("完成"), this);
    m_pFinish->setObjectName("1024");
    // Only "完成" may end the page with OK, and only when clicked: Enter in a field does nothing.
    for (QPushButton* button : {m_pChooseFile, m_pChooseStandIn, m_pPreview, m_pFinish})
        button->setAutoDefault(false);

    auto* groups = new QHBoxLayout;
    groups->addWidget(video, 3);
    groups->addWidget(audio, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_pPreview);
    buttons->addStretch();
    buttons->addWidget(m_pFinish);
    auto* page = new QVBoxLayout(this);
    page->addWidget(heading);
    page->addLayout(groups, 1);
    page->addWidget(mark);
    page->addWidget(standIn);
    page->addLayout(buttons);

    m_videoEncodingControls = {m_pBitRate, m_pFrameRate, m_pSize, m_pWidth, m_pHeight,
                               m_pProfile, m_pMaxBitRate, m_pGop, m_pKeyframeSeconds, m_pFilePath};

    connect(m_pVideoReencode, &QCheckBox::clicked, this, &EncodingPage::OnVideoReencodeClicked);
    // activated: the operator chose an item (list, keys, wheel); typing in the box is not a choice.
    connect(m_pSize, &QComboBox::activated, this, &EncodingPage::OnSizeChosen);
    // Enter or leaving the box after typing an item's text would make the box select that item
    // and report it as activated; typed text is no choice, so the box ignores both.
    disconnect(m_pSize->lineEdit(), &QLineEdit::returnPressed, m_pSize, nullptr);
    disconnect(m_pSize->lineEdit(), &QLineEdit::editingFinished, m_pSize, nullptr);
    connect(m_pPosition, &QComboBox::activated, this, [this] { RebuildPosition(); });
    connect(m_pChooseFile, &QPushButton::clicked, this, &EncodingPage::OnChooseFile);
    connect(m_pChooseStandIn, &QPushButton::clicked, this, [this] {
        const QString path = Prompt::OpenFileName(this, QString::fromUtf8("打开"), "File(*.png)", "png");
        if (!path.isEmpty())
            m_pStandInPicture->setText(path);
    });
    connect(m_pFinish, &QPushButton::clicked, this, &EncodingPage::OnFinish);
}

