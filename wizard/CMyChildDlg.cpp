#include "wizard/CMyChildDlg.h"

#include "app/MessageBox.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "wizard/FieldRules.h"
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
// The page's texts.
const char* const kTitle = "导入信号";
const char* const kHeading = "设置编码参数";
const char* const kPathTooLong = "水印文件路径过长，最多127个字符!";
const char* const kPathUnsafe = "水印文件路径不能包含控制字符!";
const char* const kProfileUnsafe = "Profle不能包含空格、引号或控制字符!";
const char* const kOffsetUnsafe = "水印微调值不能包含空格、引号或控制字符!";
const char* const kPositionUnsafe = "水印位置不能包含控制字符!";
const char* const kStillCopy = "上次检测信号源发现该摄像头输出H.265，视频直通会一直失败（RTMP不支持H.265）。\n仍然直通？";
const char* const kSamePublish = "发布地址与信号“%1”相同：两路同时推流会互相挤掉（直播服务器报“Already publishing”）。\n仍然保存？";

constexpr int kMaxWatermarkPath = 127;

// Overlay x:y for the five anchors, in the order of the position box's items.
const char* const kPositionFormats[5] = {
    "%1:%2",
    "main_w/2-overlay_w/2+%1:main_h/2-overlay_h/2+%2",
    "main_w-overlay_w+%1:%2",
    "%1:main_h-overlay_h+%2",
    "main_w-overlay_w+%1:main_h-overlay_h+%2",
};

QLineEdit* MakeEdit(const char* id, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(id);
    edit->setMaxLength(FieldRules::kMaxFieldLength);
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
    combo->lineEdit()->setMaxLength(FieldRules::kMaxFieldLength);
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

// Refills a box with its items, selects the first and, when given, writes the opening text
// into the text field without selecting the matching item.
void ResetCombo(QComboBox* combo, const QStringList& items, const QString& text = QString())
{
    const QSignalBlocker block(combo);
    combo->clear();
    combo->addItems(items);
    combo->setCurrentIndex(0);
    if (!text.isNull())
        combo->setEditText(text);
}

int Number(const QString& text)
{
    return DecimalValue(text.toStdString());
}
}  // namespace

CMyChildDlg::CMyChildDlg(bool isNew, QWidget* parent) : QDialog(parent), m_bNew(isNew)
{
    setWindowTitle(QString::fromUtf8(kTitle));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xED, 0xED, 0xF5));
    setPalette(pal);
    setAutoFillBackground(true);
    BuildControls();
    resize(680, 500);  // about 381 x 284 dialog units
}

void CMyChildDlg::BuildControls()
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
    auto addVideoRow = [&](const char* label, QWidget* field, const char* unit) {
        videoGrid->addWidget(MakeLabel(label, video), row, 0);
        videoGrid->addWidget(field, row, 1);
        if (unit)
            videoGrid->addWidget(MakeLabel(unit, video), row, 2, 1, 2);
        ++row;
    };
    addVideoRow("视频轨道：", m_pVideoTrack, nullptr);
    addVideoRow("视频码率：", m_pBitRate, "Kbps");
    addVideoRow("视频帧率：", m_pFrameRate, "fps");
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(m_pWidth);
    sizeRow->addWidget(MakeLabel("x", video));
    sizeRow->addWidget(m_pHeight);
    videoGrid->addWidget(MakeLabel("视频尺寸：", video), row, 0);
    videoGrid->addWidget(m_pSize, row, 1);
    videoGrid->addLayout(sizeRow, row, 2, 1, 2);
    ++row;
    addVideoRow("Profle：", m_pProfile, nullptr);
    addVideoRow("最大码率：", m_pMaxBitRate, "Kbps (0为不限制)");
    addVideoRow("G0P：", m_pGop, nullptr);
    videoGrid->addWidget(m_pUnused1038, row - 1, 2);
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
    m_pUnused1048 = MakeEdit("1048", audio);
    m_pUnused1048->hide();

    auto* audioGrid = new QGridLayout(audio);
    auto* audioChecks = new QHBoxLayout;
    audioChecks->addWidget(m_pAudioOn);
    audioChecks->addWidget(m_pAudioReencode);
    audioChecks->addStretch();
    audioGrid->addLayout(audioChecks, 0, 0, 1, 3);
    row = 1;
    auto addAudioRow = [&](const char* label, QWidget* field, const char* unit) {
        audioGrid->addWidget(MakeLabel(label, audio), row, 0);
        audioGrid->addWidget(field, row, 1);
        if (unit)
            audioGrid->addWidget(MakeLabel(unit, audio), row, 2);
        ++row;
    };
    addAudioRow("音频轨道：", m_pAudioTrack, nullptr);
    addAudioRow("音频声道：", m_pAudioChannels, nullptr);
    addAudioRow("采样率：", m_pSampleRate, "Hz");
    addAudioRow("音频码率：", m_pAudioBitRate, "Kbps");
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

    m_pPreview = new QPushButton(QString::fromUtf8("预览"), this);
    m_pPreview->setObjectName("1023");
    m_pPreview->hide();
    m_pFinish = new QPushButton(QString::fromUtf8("完成"), this);
    m_pFinish->setObjectName("1024");
    // Only "完成" may end the page with OK, and only when clicked: Enter in a field does nothing.
    for (QPushButton* button : {m_pChooseFile, m_pPreview, m_pFinish})
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
    page->addLayout(buttons);

    m_videoEncodingControls = {m_pBitRate, m_pFrameRate, m_pSize, m_pWidth, m_pHeight,
                               m_pProfile, m_pMaxBitRate, m_pGop, m_pFilePath};

    connect(m_pVideoReencode, &QCheckBox::clicked, this, &CMyChildDlg::OnVideoReencodeClicked);
    // activated: the operator chose an item (list, keys, wheel); typing in the box is not a choice.
    connect(m_pSize, &QComboBox::activated, this, &CMyChildDlg::OnSizeChosen);
    // Enter or leaving the box after typing an item's text would make the box select that item
    // and report it as activated; typed text is no choice, so the box ignores both.
    disconnect(m_pSize->lineEdit(), &QLineEdit::returnPressed, m_pSize, nullptr);
    disconnect(m_pSize->lineEdit(), &QLineEdit::editingFinished, m_pSize, nullptr);
    connect(m_pPosition, &QComboBox::activated, this, [this] { RebuildPosition(); });
    connect(m_pChooseFile, &QPushButton::clicked, this, &CMyChildDlg::OnChooseFile);
    connect(m_pFinish, &QPushButton::clicked, this, &CMyChildDlg::OnFinish);
}

void CMyChildDlg::SetChannel(int id, const std::string& appDir)
{
    m_nId = id;
    m_strAppDir = appDir;
}

int CMyChildDlg::exec()
{
    InitControls();
    return QDialog::exec();
}

void CMyChildDlg::InitControls()
{
    // The widgets outlive each run: clear what an earlier, cancelled run left behind.
    m_values.strFilePath.clear();
    for (QLineEdit* edit : {m_pFilePath, m_pOffsetX, m_pOffsetY, m_pUnused1048})
        edit->clear();
    for (QCheckBox* box : {m_pVideoOn, m_pVideoReencode, m_pCopyTs, m_pAudioOn, m_pAudioReencode, m_pUnused1038})
        box->setChecked(false);

    ResetCombo(m_pVideoTrack, {"0"}, "0");
    m_pBitRate->setText("300");
    ResetCombo(m_pFrameRate, {"20", "25", "30"}, "25");
    ResetCombo(m_pSize, {"320x240", "480x360", "640x360"});
    m_pWidth->setText("320");
    m_pHeight->setText("240");
    ResetCombo(m_pProfile, {"high", "main", "baseline"}, "high");
    m_pMaxBitRate->setText("0");
    m_pGop->setText("100");
    ResetCombo(m_pAudioTrack, {"0"}, "0");
    ResetCombo(m_pAudioChannels, {"1", "2"}, "2");
    ResetCombo(m_pSampleRate, {"22050", "44100", "48000"}, "44100");
    ResetCombo(m_pAudioBitRate, {"16", "32", "64", "96", "128"}, "32");
    ResetCombo(m_pPosition, {QString::fromUtf8("左上"), QString::fromUtf8("居中"), QString::fromUtf8("右上"),
                             QString::fromUtf8("左下"), QString::fromUtf8("右下")});
    m_pSpinX->SetRange(-200, 200);
    m_pSpinY->SetRange(-200, 200);
    m_values.StrPucSeatPos.clear();
    RebuildPosition();

    // The video encoding controls start enabled exactly when 1026 starts checked, so that
    // the toggle of each click keeps box and controls in step. A new channel has 1026 off
    // whatever an old record under its id may say.
    const bool reencode =
        !m_bNew && ConfigStore(m_strAppDir).GetValue(ChannelKey(m_nId, "checkstate1")) == "1";
    SetVideoControlsEnabled(reencode);
    m_bVideoDisabled = !reencode;

    if (m_pSize->currentIndex() == 0) {
        m_pWidth->setText("320");
        m_pHeight->setText("240");
    }
    if (m_bNew) {
        m_pVideoOn->setChecked(true);
        m_pAudioOn->setChecked(true);
        m_pAudioReencode->setChecked(true);
        return;
    }
    LoadStored();
}

void CMyChildDlg::LoadStored()
{
    const ConfigStore store(m_strAppDir);
    auto get = [&](const char* name) { return QString::fromStdString(store.GetValue(ChannelKey(m_nId, name))); };

    m_pVideoOn->setChecked(get("checkstate") == "1");
    m_pVideoReencode->setChecked(get("checkstate1") == "1");
    m_pCopyTs->setChecked(get("checkstate2") == "1");
    m_pAudioOn->setChecked(get("checkstate3") == "1");
    m_pAudioReencode->setChecked(get("checkstate4") == "1");
    // The size box keeps its first item; the stored size shows in the two fields.
    m_pBitRate->setText(get("VdBitRate"));
    m_pFrameRate->setEditText(get("VdRameRate"));
    m_pWidth->setText(get("VdWidth"));
    m_pHeight->setText(get("VdHeight"));
    m_pProfile->setEditText(get("VdProFile"));
    m_pAudioChannels->setEditText(get("AdChannel"));
    m_pSampleRate->setEditText(get("AdSmpLinGrate"));
    m_pAudioBitRate->setEditText(get("AdBitRate"));

    m_pFilePath->setText(get("strFilePath"));
    m_pOffsetX->setText(get("strValue"));
    m_pOffsetY->setText(get("strValue1"));
    // Select the stored position, so that the expression built at "完成" matches the word shown.
    const QString seat = get("strPucSeat");
    const int index = m_pPosition->findText(seat);
    if (index >= 0) {
        const QSignalBlocker block(m_pPosition);
        m_pPosition->setCurrentIndex(index);
    }
    m_pPosition->setEditText(seat);
    RebuildPosition();
}

void CMyChildDlg::SetVideoControlsEnabled(bool enabled)
{
    for (QWidget* control : m_videoEncodingControls)
        control->setEnabled(enabled);
}

void CMyChildDlg::OnVideoReencodeClicked()
{
    // Toggled by the click, not derived from the check state.
    SetVideoControlsEnabled(m_bVideoDisabled);
    m_bVideoDisabled = !m_bVideoDisabled;
}

void CMyChildDlg::OnSizeChosen(int index)
{
    static const char* const sizes[3][2] = {{"320", "240"}, {"480", "360"}, {"640", "360"}};
    if (index < 0 || index > 2)
        return;
    m_pWidth->setText(sizes[index][0]);
    m_pHeight->setText(sizes[index][1]);
}

void CMyChildDlg::OnChooseFile()
{
    const QString path = Prompt::OpenFileName(this, QString::fromUtf8("打开"), "File(*.png)", "png");
    if (path.isEmpty())
        return;
    // Filled even while the field is disabled (video copied); its text is handed over anyway.
    m_pFilePath->setText(path);
    m_values.strFilePath = path.toStdString();
}

void CMyChildDlg::RebuildPosition()
{
    m_values.strValue = m_pOffsetX->text().toStdString();
    m_values.strValue1 = m_pOffsetY->text().toStdString();
    const int index = m_pPosition->currentIndex();
    if (index < 0 || index > 4)
        return;  // nothing selected: keep the last expression
    // One-pass substitution: an offset text is inserted verbatim, never re-expanded.
    m_values.StrPucSeatPos =
        QString::fromLatin1(kPositionFormats[index]).arg(m_pOffsetX->text(), m_pOffsetY->text()).toStdString();
}

void CMyChildDlg::OpeningValues(ChannelSettings* values, CheckStates* checks)
{
    InitControls();
    Collect();
    *values = Values();
    *checks = m_checks;
}

void CMyChildDlg::OnFinish()
{
    Collect();
    if (CheckCollected() && ConfirmFinish())
        accept();
}

bool CMyChildDlg::ConfirmFinish()
{
    const bool h265 = SourceVideoCodec && SourceVideoCodec() == "hevc";
    if (m_checks[0] && !m_checks[1] && h265 && !Prompt::Question(this, QString::fromUtf8(kStillCopy)))
        return false;
    QStringList others;
    for (const std::string& name : ChannelsPublishingTo(ConfigStore(m_strAppDir), Adress, m_nId))
        others << QString::fromStdString(name);
    return others.isEmpty() || Prompt::Question(this, QString::fromUtf8(kSamePublish).arg(others.join("、")));
}

void CMyChildDlg::Collect()
{
    m_nVideoTrack = Number(m_pVideoTrack->currentText());
    m_values.VdBitRate = Number(m_pBitRate->text());
    m_values.VdRameRate = Number(m_pFrameRate->currentText());
    m_values.VdWidth = Number(m_pWidth->text());
    m_values.VdHeight = Number(m_pHeight->text());
    m_nMaxBitRate = Number(m_pMaxBitRate->text());
    m_nGop = Number(m_pGop->text());
    m_nAudioTrack = Number(m_pAudioTrack->currentText());
    m_values.AdChannel = Number(m_pAudioChannels->currentText());
    m_values.AdSmpLinGrate = Number(m_pSampleRate->currentText());
    m_values.AdBitRate = Number(m_pAudioBitRate->currentText());
    m_values.VdProFile = m_pProfile->currentText().toStdString();
    m_values.strPucSeat = m_pPosition->currentText().toStdString();
    m_values.strFilePath = m_pFilePath->text().toStdString();
    RebuildPosition();
    m_checks = {m_pVideoOn->isChecked() ? 1 : 0, m_pVideoReencode->isChecked() ? 1 : 0,
                m_pCopyTs->isChecked() ? 1 : 0, m_pAudioOn->isChecked() ? 1 : 0,
                m_pAudioReencode->isChecked() ? 1 : 0};
}

bool CMyChildDlg::CheckCollected()
{
    const char* problem = nullptr;
    const QString path = m_pFilePath->text();
    if (FieldRules::CharCount(path) > kMaxWatermarkPath)
        problem = kPathTooLong;
    else if (FieldRules::HasControl(path))
        problem = kPathUnsafe;
    else if (FieldRules::HasBlankQuoteOrControl(m_pProfile->currentText()))
        problem = kProfileUnsafe;
    else if (FieldRules::HasBlankQuoteOrControl(m_pOffsetX->text()) ||
             FieldRules::HasBlankQuoteOrControl(m_pOffsetY->text()))
        problem = kOffsetUnsafe;
    else if (FieldRules::HasControl(m_pPosition->currentText()))
        problem = kPositionUnsafe;
    if (!problem)
        return true;
    Prompt::Message(this, QString::fromUtf8(problem));
    return false;
}

ChannelSettings CMyChildDlg::Values() const
{
    ChannelSettings values = m_values;
    values.Name.clear();
    values.SignalName = SignalName;
    values.Adress = Adress;
    values.StreamName = StreamName;
    return values;
}

CheckStates CMyChildDlg::Checks() const
{
    return m_checks;
}
