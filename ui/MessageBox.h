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

// A yes/no question in a message box captioned with the application name; true for yes.
bool Question(QWidget* parent, const QString& text);

// Open-file dialog; returns the chosen path or an empty string when cancelled. A name typed
// without an extension gets defaultSuffix (given without the dot).
QString OpenFileName(QWidget* parent, const QString& caption, const QString& filter,
                     const QString& defaultSuffix = QString());

// Save-file dialog, likewise (an existing file is confirmed before it is replaced).
QString SaveFileName(QWidget* parent, const QString& caption, const QString& filter,
                     const QString& defaultSuffix = QString());

// Loads Qt's own Chinese texts (standard buttons, the file dialog, the edit menu of text fields)
// whatever the desktop's locale; once, after the QApplication exists. False when they are missing.
bool UseChineseQtTexts();

// Test hooks. With a message hook set, Message() and Question() call it instead of showing a
// box; Question() then takes the next queued answer, or yes when none is queued.
// With file answers queued, OpenFileName() and SaveFileName() take the next one (empty: cancelled).
void SetMessageHook(std::function<void(const QString&)> hook);
void QueueQuestionAnswer(bool yes);
void QueueOpenFileAnswer(const QString& path);
void ResetHooks();
}  // namespace Prompt
