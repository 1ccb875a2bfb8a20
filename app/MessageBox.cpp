#include "app/MessageBox.h"

#include <QApplication>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>
#include <deque>

namespace {
std::function<void(const QString&)>& MessageHook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}
std::deque<bool>& QuestionAnswers()
{
    static std::deque<bool> answers;
    return answers;
}
std::deque<QString>& FileAnswers()
{
    static std::deque<QString> answers;
    return answers;
}
}  // namespace

namespace Prompt {
void Message(QWidget* parent, const QString& text)
{
    if (MessageHook()) {
        MessageHook()(text);
        return;
    }
    QMessageBox::information(parent, QApplication::applicationName(), text, QMessageBox::Ok);
}

bool Question(QWidget* parent, const QString& text)
{
    if (MessageHook()) {
        MessageHook()(text);
        const bool yes = QuestionAnswers().empty() || QuestionAnswers().front();
        if (!QuestionAnswers().empty())
            QuestionAnswers().pop_front();
        return yes;
    }
    return QMessageBox::question(parent, QApplication::applicationName(), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

QString OpenFileName(QWidget* parent, const QString& caption, const QString& filter, const QString& defaultSuffix)
{
    if (!FileAnswers().empty()) {
        QString answer = FileAnswers().front();
        FileAnswers().pop_front();
        return answer;
    }
    // Qt's own dialog on every desktop, so that it speaks Chinese like the rest of the program
    // (a desktop's native dialog follows the desktop's language instead).
    QFileDialog dialog(parent, caption, QString(), filter);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().front();
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

void SetMessageHook(std::function<void(const QString&)> hook) { MessageHook() = std::move(hook); }
void QueueQuestionAnswer(bool yes) { QuestionAnswers().push_back(yes); }
void QueueOpenFileAnswer(const QString& path) { FileAnswers().push_back(path); }
void ResetHooks()
{
    MessageHook() = nullptr;
    QuestionAnswers().clear();
    FileAnswers().clear();
}
}  // namespace Prompt
