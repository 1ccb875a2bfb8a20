#include "wizard/EncodingPage.h"

#include "ffmpeg/ChannelRules.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "ui/MessageBox.h"
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
const char* const kStillCopy = "上次检测信号源发现该摄像头输出H.265，视频直通会一直失败（RTMP不支持H.265）。\n仍然直通？";
const char* const kStillCopyEnhanced =
    "上次检测信号源发现该摄像头输出H.265。本机的 ffmpeg 可以直通H.265，但只有支持增强型RTMP（H.265）的直播服务器才接受，"
    "很多服务器不接受。\n仍然直通？";
const char* const kSamePublish = "发布地址与信号“%1”相同：两路同时推流会互相挤掉（直播服务器报“Already publishing”）。\n仍然保存？";

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

EncodingPage::EncodingPage(bool isNew, QWidget* parent) : QDialog(parent), m_bNew(isNew)
{
    setWindowTitle(QString::fromUtf8(kTitle));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xED, 0xED, 0xF5));
    setPalette(pal);
    setAutoFillBackground(true);
    BuildControls();
    resize(680, 500);  // about 381 x 284 dialog units
}

void EncodingPage::SetChannel(int id, const std::string& appDir, int copyOf)
{
    m_nId = id;
    m_nCopyOf = copyOf;
    m_strAppDir = appDir;
}

int EncodingPage::exec()
{
    InitControls();
    return QDialog::exec();
}

void EncodingPage::InitControls()
{
    // The widgets outlive each run: clear what an earlier, cancelled run left behind.
    m_values.watermarkPath.clear();
    for (QLineEdit* edit : {m_pFilePath, m_pOffsetX, m_pOffsetY, m_pUnused1048, m_pKeyframeSeconds})
        edit->clear();
    for (QCheckBox* box : {m_pVideoOn, m_pVideoReencode, m_pCopyTs, m_pAudioOn, m_pAudioReencode, m_pUnused1038,
                           m_pAudioToAac, m_pSilentAudio})
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
    QStringList corners;
    for (const char* corner : ChannelRules::kCorners)
        corners << QString::fromUtf8(corner);
    ResetCombo(m_pPosition, corners);
    m_pSpinX->SetRange(-200, 200);
    m_pSpinY->SetRange(-200, 200);
    m_values.watermarkPlacement.clear();
    RebuildPosition();

    // The video encoding controls start enabled exactly when 1026 starts checked, so that
    // the toggle of each click keeps box and controls in step. A new channel has 1026 off
    // whatever an old record under its id may say; a copy has its original's.
    const int storedId = m_nCopyOf >= 0 ? m_nCopyOf : m_bNew ? -1 : m_nId;
    const bool reencode = storedId >= 0 && LoadChannelText(ConfigStore(m_strAppDir), storedId).checks[1] == "1";
    SetVideoControlsEnabled(reencode);
    m_bVideoDisabled = !reencode;

    if (m_pSize->currentIndex() == 0) {
        m_pWidth->setText("320");
        m_pHeight->setText("240");
    }
    if (storedId < 0) {
        m_pVideoOn->setChecked(true);
        m_pAudioOn->setChecked(true);
        m_pAudioReencode->setChecked(true);
        m_pKeyframeSeconds->setText(QString::number(ChannelRules::NewChannelValues().keyframeSeconds));
        // A re-encode keeps the camera's size and frame rate unless the operator says otherwise.
        const SourceStreams found = SourceFound ? SourceFound() : SourceStreams();
        if (found.width > 0 && found.height > 0) {
            m_pWidth->setText(QString::number(found.width));
            m_pHeight->setText(QString::number(found.height));
        }
        if (found.frameRate >= 1 && found.frameRate <= 120)
            m_pFrameRate->setEditText(QString::number(static_cast<int>(found.frameRate + 0.5)));
        return;
    }
    LoadStored(storedId);
}

void EncodingPage::LoadStored(int storedId)
{
    const LoadedChannelText stored = LoadChannelText(ConfigStore(m_strAppDir), storedId);
    const ChannelRecordText& r = stored.record;
    auto text = [](const std::string& value) { return QString::fromStdString(value); };

    m_pVideoOn->setChecked(stored.checks[0] == "1");
    m_pVideoReencode->setChecked(stored.checks[1] == "1");
    m_pCopyTs->setChecked(stored.checks[2] == "1");
    m_pAudioOn->setChecked(stored.checks[3] == "1");
    m_pAudioReencode->setChecked(stored.checks[4] == "1");
    // The size box keeps its first item; the stored size shows in the two fields.
    m_pBitRate->setText(text(r.videoBitrate));
    m_pFrameRate->setEditText(text(r.frameRate));
    m_pWidth->setText(text(r.width));
    m_pHeight->setText(text(r.height));
    m_pProfile->setEditText(text(r.profile));
    m_pAudioChannels->setEditText(text(r.audioChannels));
    m_pSampleRate->setEditText(text(r.sampleRate));
    m_pAudioBitRate->setEditText(text(r.audioBitrate));
    m_pAudioToAac->setChecked(r.audioToAac == "1");
    m_pSilentAudio->setChecked(r.silentAudio == "1");
    // A channel stored without an interval (or with 0) keeps the encoder's own: the field stays empty.
    if (DecimalValue(r.keyframeSeconds) > 0)
        m_pKeyframeSeconds->setText(text(r.keyframeSeconds));

    for (int i = 0; i < static_cast<int>(std::size(ChannelRules::kStandInChoices)); ++i)
        if (r.standIn == ChannelRules::kStandInChoices[i].word)
            m_pStandIn->setCurrentIndex(i);
    m_pStandInPicture->setText(text(r.standInPicture));
    m_pFilePath->setText(text(r.watermarkPath));
    m_pOffsetX->setText(text(r.watermarkOffsetX));
    m_pOffsetY->setText(text(r.watermarkOffsetY));
    // Select the stored position, so that the expression built at "完成" matches the word shown.
    const QString seat = text(r.watermarkCorner);
    const int index = m_pPosition->findText(seat);
    if (index >= 0) {
        const QSignalBlocker block(m_pPosition);
        m_pPosition->setCurrentIndex(index);
    }
    m_pPosition->setEditText(seat);
    RebuildPosition();
}

void EncodingPage::SetVideoControlsEnabled(bool enabled)
{
    for (QWidget* control : m_videoEncodingControls)
        control->setEnabled(enabled);
}

void EncodingPage::OnVideoReencodeClicked()
{
    // Toggled by the click, not derived from the check state.
    SetVideoControlsEnabled(m_bVideoDisabled);
    m_bVideoDisabled = !m_bVideoDisabled;
}

void EncodingPage::OnSizeChosen(int index)
{
    static const char* const sizes[3][2] = {{"320", "240"}, {"480", "360"}, {"640", "360"}};
    if (index < 0 || index > 2)
        return;
    m_pWidth->setText(sizes[index][0]);
    m_pHeight->setText(sizes[index][1]);
}

void EncodingPage::OnChooseFile()
{
    const QString path = Prompt::OpenFileName(this, QString::fromUtf8("打开"), "File(*.png)", "png");
    if (path.isEmpty())
        return;
    // Filled even while the field is disabled (video copied); its text is handed over anyway.
    m_pFilePath->setText(path);
    m_values.watermarkPath = path.toStdString();
}

void EncodingPage::RebuildPosition()
{
    m_values.watermarkOffsetX = m_pOffsetX->text().toStdString();
    m_values.watermarkOffsetY = m_pOffsetY->text().toStdString();
    const int index = m_pPosition->currentIndex();
    if (index < 0 || index > 4)
        return;  // nothing selected: keep the last expression
    // One-pass substitution: an offset text is inserted verbatim, never re-expanded.
    m_values.watermarkPlacement =
        *ChannelRules::WatermarkPlacement(ChannelRules::kCorners[index], m_values.watermarkOffsetX, m_values.watermarkOffsetY);
}

void EncodingPage::OpeningValues(ChannelRecord* values, CheckStates* checks)
{
    InitControls();
    Collect();
    *values = Values();
    *checks = m_checks;
}

void EncodingPage::OnFinish()
{
    Collect();
    if (CheckCollected() && ConfirmFinish())
        accept();
}

bool EncodingPage::ConfirmFinish()
{
    const bool h265 = SourceVideoCodec && SourceVideoCodec() == "hevc";
    const bool enhanced = SourceFlvHevc && SourceFlvHevc();
    if (m_checks[0] && !m_checks[1] && h265 &&
        !Prompt::Question(this, QString::fromUtf8(enhanced ? kStillCopyEnhanced : kStillCopy)))
        return false;
    QStringList others;
    for (const std::string& name : ChannelsPublishingTo(ConfigStore(m_strAppDir), publishUrl, m_nId))
        others << QString::fromStdString(name);
    return others.isEmpty() || Prompt::Question(this, QString::fromUtf8(kSamePublish).arg(others.join("、")));
}

void EncodingPage::Collect()
{
    m_nVideoTrack = Number(m_pVideoTrack->currentText());
    m_values.videoBitrate = Number(m_pBitRate->text());
    m_values.frameRate = Number(m_pFrameRate->currentText());
    m_values.width = Number(m_pWidth->text());
    m_values.height = Number(m_pHeight->text());
    m_nMaxBitRate = Number(m_pMaxBitRate->text());
    m_nGop = Number(m_pGop->text());
    m_nAudioTrack = Number(m_pAudioTrack->currentText());
    m_values.audioChannels = Number(m_pAudioChannels->currentText());
    m_values.sampleRate = Number(m_pSampleRate->currentText());
    m_values.audioBitrate = Number(m_pAudioBitRate->currentText());
    m_values.audioToAac = m_pAudioToAac->isChecked() ? 1 : 0;
    m_values.silentAudio = m_pSilentAudio->isChecked() ? 1 : 0;
    m_values.keyframeSeconds = Number(m_pKeyframeSeconds->text());
    m_values.profile = m_pProfile->currentText().toStdString();
    m_values.watermarkCorner = m_pPosition->currentText().toStdString();
    m_values.watermarkPath = m_pFilePath->text().toStdString();
    m_values.standIn = ChannelRules::kStandInChoices[std::max(0, m_pStandIn->currentIndex())].word;
    m_values.standInPicture = m_pStandInPicture->text().toStdString();
    RebuildPosition();
    m_checks = {m_pVideoOn->isChecked() ? 1 : 0, m_pVideoReencode->isChecked() ? 1 : 0,
                m_pCopyTs->isChecked() ? 1 : 0, m_pAudioOn->isChecked() ? 1 : 0,
                m_pAudioReencode->isChecked() ? 1 : 0};
}

bool EncodingPage::CheckCollected()
{
    const std::string problem = ChannelRules::EncodingProblem(m_values);
    if (problem.empty())
        return true;
    Prompt::Message(this, QString::fromStdString(problem));
    return false;
}

ChannelRecord EncodingPage::Values() const
{
    ChannelRecord values = m_values;
    values.name.clear();
    values.sourceUrl = sourceUrl;
    values.publishUrl = publishUrl;
    values.streamName = streamName;
    return values;
}

CheckStates EncodingPage::Checks() const
{
    return m_checks;
}
