#pragma once
#include "wizard/CMyChildDlg.h"

#include <QDialog>
#include <string>

class QLineEdit;

// First page of the channel wizard ("导入信号"): name, source and publish address.
// Validates them on "下一步" and runs the encoding page it holds; ends with OK only
// when that page ends with OK. Controls carry their ids as objectName. GUI thread only.
class CMyNewDlg : public QDialog {
    Q_OBJECT
public:
    explicit CMyNewDlg(bool isNew, QWidget* parent = nullptr);

    // The channel id whose stored values the pages open with, and the folder of config.ini.
    void SetChannel(int id, const std::string& appDir);

    // Fills the fields from the stored channel, then runs the page modally.
    int exec() override;

    std::string Name, SignalName, Adress, StreamName;
    CMyChildDlg m_child;

    // After OK: every value of the channel (Name from this page, the rest from m_child).
    ChannelSettings Values() const;
    CheckStates Checks() const;

private:
    void LoadStored();
    void OnNext();
    // The message of the first check that fails, or nullptr when all pass.
    const char* FirstProblem() const;

    int m_nId = 0;
    std::string m_strAppDir;
    QLineEdit *m_pName, *m_pSource, *m_pPublish, *m_pStreamName;
};
