#pragma once
#include "ffmpeg/SourceCheck.h"
#include "wizard/EncodingPage.h"

#include <QDialog>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

// First page of the channel wizard ("导入信号"): name, source and publish address, and the
// further publish addresses ("其他推流地址").
// Validates them on "下一步" and runs the encoding page it holds; ends with OK only
// when that page ends with OK. "检测信号源" checks the source typed so far on a thread of its
// own and shows the result in the page; closing the page cancels it. Controls carry their ids
// as objectName. GUI thread only. (Formerly CMyNewDlg.)
class SourcePage : public QDialog {
    Q_OBJECT
public:
    explicit SourcePage(bool isNew, QWidget* parent = nullptr);
    ~SourcePage() override;

    // The channel id the pages store under, and the folder of config.ini. The pages open with
    // the values stored under id, or with those of channel copyOf (its name marked as a copy).
    void SetChannel(int id, const std::string& appDir, int copyOf = -1);

    // The ffmpeg the source check runs (ffprobe beside it); without one: the program's own, else PATH's.
    void SetFfmpeg(const FfmpegLocation& ffmpeg) { m_ffmpeg = ffmpeg; }

    // Fills the fields from the stored channel, then runs the page modally.
    int exec() override;
    // Every end of the page (OK, close box, Escape, the window closing) cancels a running check
    // and waits until its children are gone.
    void done(int result) override;

    std::string name, sourceUrl, publishUrl, streamName;
    // "其他推流地址" as collected at "下一步": the list's addresses in order, empty lines left out.
    std::vector<std::string> extraPublish;
    EncodingPage m_child;

    // After OK: every value of the channel (the name and the extra addresses from this page, the
    // rest from m_child); the extra addresses are marked as shown, so that storing an emptied list
    // removes the stored one.
    ChannelRecord Values() const;
    CheckStates Checks() const;
    // The last finished check of "检测信号源".
    const std::optional<SourceResult>& LastCheck() const { return m_lastCheck; }

private:
    void LoadStored();
    void OnNext();
    void OnCheckSource();
    void OnCheckDone(const SourceResult& result, const std::string& url);
    void CancelCheck();
    // 添加 and 删除 of "其他推流地址": enabled while the list has room, and while a line is chosen.
    void UpdateExtraButtons();
    void OnAddExtra();
    int m_nId = 0;
    int m_nCopyOf = -1;
    std::string m_strAppDir;
    QLineEdit *m_pName, *m_pSource, *m_pPublish, *m_pStreamName;
    QPushButton* m_pCheck;
    QListWidget* m_pExtraPublish;  // one editable line per extra address
    QPushButton *m_pAddExtra, *m_pRemoveExtra;
    QLabel* m_pFrame;
    QPlainTextEdit* m_pReport;
    FfmpegLocation m_ffmpeg;
    std::unique_ptr<SourceCheck> m_check;
    std::optional<SourceResult> m_lastCheck;
    std::string m_strCheckedUrl;
};
