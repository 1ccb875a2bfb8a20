#pragma once
#include <QDialog>

// The About box ("关于 CamRelay"): icon, product line, a second line and "确定". (Formerly
// CAboutDlg.)
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
