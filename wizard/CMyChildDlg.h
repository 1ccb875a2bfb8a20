#pragma once
#include "settings/ChannelSettings.h"

#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

// Second page of the channel wizard ("导入信号"): encoding settings and the watermark group.
// Held by CMyNewDlg; opened afresh (all controls re-initialised) each time it runs.
// Controls carry their numeric ids as objectName ("1025" ...).
class CMyChildDlg : public QDialog {
    Q_OBJECT
public:
    explicit CMyChildDlg(bool isNew, QWidget* parent = nullptr);

    // Set by the source page before the page runs.
    void SetChannel(int id, const std::string& appDir);
    std::string SignalName, Adress, StreamName;

    // Opens the page (re-initialising every control) and runs it modally.
    int exec() override;

    // After OK: the values handed to the caller.
    ChannelSettings Values() const;   // without Name (the source page has it)
    CheckStates Checks() const;

private:
    // ... implementation members
};
