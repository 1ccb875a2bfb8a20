#include "app/MessageBox.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <deque>

namespace {
std::function<void(const QString&)>& MessageHook()
{
    static std::function<void(const QString&)> hook;
    return hook;
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

QString OpenFileName(QWidget* parent, const QString& caption, const QString& filter)
{
    if (!FileAnswers().empty()) {
        QString answer = FileAnswers().front();
        FileAnswers().pop_front();
        return answer;
    }
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
}

void SetMessageHook(std::function<void(const QString&)> hook) { MessageHook() = std::move(hook); }
void QueueOpenFileAnswer(const QString& path) { FileAnswers().push_back(path); }
void ResetHooks()
{
    MessageHook() = nullptr;
    FileAnswers().clear();
}
}  // namespace Prompt
