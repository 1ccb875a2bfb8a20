#pragma once
#include "ffmpeg/SourceCheck.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;

// "预览" of a stored channel: the frame and the report of a check of its source. The main
// window starts the check and hands its result over; the dialog only shows it. GUI thread only.
// (Formerly CPreviewDlg.)
class PreviewDialog : public QDialog {
    Q_OBJECT
public:
    PreviewDialog(const QString& name, QWidget* parent);

    // A check is running, or could not start because one of this channel already runs.
    void ShowRunning();
    void ShowBusy();
    void ShowResult(const SourceResult& result);

private:
    QLabel* m_pFrame;
    QPlainTextEdit* m_pReport;
};
