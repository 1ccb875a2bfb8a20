#pragma once
#include "ffmpeg/SourceAdvice.h"
#include "settings/ChannelRecord.h"

#include <QDialog>
#include <QList>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;
class UpDownButton;

// Second page of the channel wizard ("导入信号"): encoding settings and the watermark group.
// Held by SourcePage; opened afresh (all controls re-initialised) each time it runs.
// Controls carry their numeric ids as objectName ("1025" ...). GUI thread only. (Formerly
// CMyChildDlg.)
class EncodingPage : public QDialog {
    Q_OBJECT
public:
    explicit EncodingPage(bool isNew, QWidget* parent = nullptr);

    // Set by the source page before the page runs: the id stored under, and the channel whose
    // stored values a copy opens with (-1: none).
    void SetChannel(int id, const std::string& appDir, int copyOf = -1);
    std::string sourceUrl, publishUrl, streamName;
    // The video codec that the source page's latest finished check found for sourceUrl, asked
    // at "完成" (a check may end while this page is open); empty or unset when unchecked.
    // "完成" on a copy channel of an H.265 source asks before storing it.
    std::function<std::string()> SourceVideoCodec;
    // Whether that check found the ffmpeg in use copying H.265 into FLV: then the question says
    // that the server must accept it instead of that copying always fails.
    std::function<bool()> SourceFlvHevc;
    // What that check found the source sending: a new channel's re-encode opens with its size
    // and frame rate.
    std::function<SourceStreams()> SourceFound;

    // The values the page would open with and hand over unchanged: what a source check advises on.
    void OpeningValues(ChannelRecord* values, CheckStates* checks);

    // Opens the page (re-initialising every control) and runs it modally.
    int exec() override;

    // After OK: the values handed to the caller.
    ChannelRecord Values() const;   // without the name (the source page has it)
    CheckStates Checks() const;

private:
    void BuildControls();
    void InitControls();
    void LoadStored(int storedId);
    void SetVideoControlsEnabled(bool enabled);
    void OnVideoReencodeClicked();
    void OnSizeChosen(int index);
    void OnChooseFile();
    void RebuildPosition();
    void OnFinish();
    void Collect();
    // Questions that "完成" asks before storing: an H.265 source copied, a publish address
    // another channel uses. False when the operator chose to stay on the page.
    bool ConfirmFinish();
    // Refuses values that would break the argument line or config.ini; false after a message.
    bool CheckCollected();

    bool m_bNew;
    int m_nId = 0;
    int m_nCopyOf = -1;
    std::string m_strAppDir;
    bool m_bVideoDisabled = false;  // toggled by each click of 1026

    ChannelRecord m_values;       // collected at "完成" (and the position expression)
    CheckStates m_checks{};
    // Shown and collected, but not part of the channel's settings.
    int m_nVideoTrack = 0, m_nMaxBitRate = 0, m_nGop = 0, m_nAudioTrack = 0;

    QCheckBox *m_pVideoOn, *m_pVideoReencode, *m_pCopyTs, *m_pAudioOn, *m_pAudioReencode;
    QCheckBox* m_pUnused1038;
    QCheckBox *m_pAudioToAac, *m_pSilentAudio;  // the later audio options
    QLineEdit* m_pKeyframeSeconds;              // a re-encode's keyframe interval, seconds; empty: the encoder's
    QComboBox *m_pVideoTrack, *m_pFrameRate, *m_pSize, *m_pProfile;
    QComboBox *m_pAudioTrack, *m_pAudioChannels, *m_pSampleRate, *m_pAudioBitRate;
    QComboBox* m_pPosition;
    QLineEdit *m_pBitRate, *m_pWidth, *m_pHeight, *m_pMaxBitRate, *m_pGop, *m_pUnused1048;
    QLineEdit *m_pFilePath, *m_pOffsetX, *m_pOffsetY;
    UpDownButton *m_pSpinX, *m_pSpinY;
    QPushButton *m_pChooseFile, *m_pPreview, *m_pFinish;
    QComboBox* m_pStandIn;             // 备用画面: ChannelRules::kStandInChoices, in their order
    QLineEdit* m_pStandInPicture;
    QPushButton* m_pChooseStandIn;
    QList<QWidget*> m_videoEncodingControls;
};
