#include "ui/MessageBox.h"

#include <QApplication>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>
#include <deque>

namespace {
// What the tests have arranged instead of the dialogs (used only after main has started).
std::function<void(const QString&)> g_messageHook;
std::deque<bool> g_questionAnswers;
std::deque<QString> g_fileAnswers;
}  // namespace

namespace Prompt {
void Message(QWidget* parent, const QString& text)
{
    if (g_messageHook) {
        g_messageHook(text);
        return;
    }
    QMessageBox::information(parent, QApplication::applicationName(), text, QMessageBox::Ok);
}

bool Question(QWidget* parent, const QString& text)
{
    if (g_messageHook) {
        g_messageHook(text);
        const bool yes = g_questionAnswers.empty() || g_questionAnswers.front();
        if (!g_questionAnswers.empty())
            g_questionAnswers.pop_front();
        return yes;
    }
    return QMessageBox::question(parent, QApplication::applicationName(), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

namespace {
QString FileName(QWidget* parent, const QString& caption, const QString& filter, const QString& defaultSuffix, bool save)
{
    if (!g_fileAnswers.empty()) {
        QString answer = g_fileAnswers.front();
        g_fileAnswers.pop_front();
        return answer;
    }
    // Qt's own dialog on every desktop, so that it speaks Chinese like the rest of the program
    // (a desktop's native dialog follows the desktop's language instead).
    QFileDialog dialog(parent, caption, QString(), filter);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().front();
}
}  // namespace

QString OpenFileName(QWidget* parent, const QString& caption, const QString& filter, const QString& defaultSuffix)
{
    return FileName(parent, caption, filter, defaultSuffix, false);
}

QString SaveFileName(QWidget* parent, const QString& caption, const QString& filter, const QString& defaultSuffix)
{
    return FileName(parent, caption, filter, defaultSuffix, true);
}

bool UseChineseQtTexts()
{
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
        delete translator;
        qWarning("Qt's Chinese texts (qtbase_zh_CN.qm) are missing in %s: Qt's own buttons stay in English",
                 qPrintable(folder));
        return false;
    }
    QCoreApplication::installTranslator(translator);
    // Sizes, dates and file types in the file dialog follow the default locale.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    return true;
}

void SetMessageHook(std::function<void(const QString&)> hook) { g_messageHook = std::move(hook); }
void QueueQuestionAnswer(bool yes) { g_questionAnswers.push_back(yes); }
void QueueOpenFileAnswer(const QString& path) { g_fileAnswers.push_back(path); }
void ResetHooks()
{
    g_messageHook = nullptr;
    g_questionAnswers.clear();
    g_fileAnswers.clear();
}
}  // namespace Prompt
