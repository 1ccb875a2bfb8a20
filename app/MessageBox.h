#pragma once
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

// The program's message boxes and file dialogs. Tests install an interceptor that sees
// the text and answers at once, so no modal loop blocks a test.
namespace Prompt {
// Shows text in a message box captioned with the application name (OK only).
void Message(QWidget* parent, const QString& text);

// Open-file dialog; returns the chosen path or an empty string when cancelled.
QString OpenFileName(QWidget* parent, const QString& caption, const QString& filter);

// Test hooks. With a message hook set, Message() calls it instead of showing a box.
// With file answers queued, OpenFileName() takes the next one (empty: cancelled).
void SetMessageHook(std::function<void(const QString&)> hook);
void QueueOpenFileAnswer(const QString& path);
void ResetHooks();
}  // namespace Prompt
