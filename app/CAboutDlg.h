#pragma once
#include <QDialog>

// The About box ("关于 CamRelay"): icon, product line, a second line and "确定".
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
