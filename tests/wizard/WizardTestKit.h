#pragma once
// Shared helpers of the wizard tests: a temporary config.ini, captured message boxes, lookup of
// controls by id, and driving of modal pages from inside their event loops.
#include "app/MessageBox.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <type_traits>

namespace wizardtest {

// Rejects every open dialog, innermost first, so that no exec() is left waiting.
inline void CloseAllDialogs()
{
    while (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
        modal->reject();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dlg = qobject_cast<QDialog*>(w); dlg && dlg->isVisible())
            dlg->reject();
}

// Runs fn from the event loop as soon as dlg is the active modal window. If it never gets
// there, the test fails and every dialog is closed instead of hanging.
inline void WhenModal(QDialog* dlg, std::function<void()> fn)
{
    auto* timer = new QTimer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    QObject::connect(timer, &QTimer::timeout, [=] {
        const bool ready = QApplication::activeModalWidget() == dlg && dlg->isVisible();
        if (!ready && std::chrono::steady_clock::now() < deadline)
            return;
        timer->stop();
        timer->deleteLater();
        if (ready) {
            fn();
        } else {
            ADD_FAILURE() << "page " << dlg->metaObject()->className() << " never became modal";
            CloseAllDialogs();
        }
    });
    timer->start(10);
}

// The control with the given id; a failed lookup is reported and answered with a stand-in.
template <class T>
T* Get(QWidget* root, const char* id)
{
    if (T* w = root->findChild<T*>(QString::fromLatin1(id)))
        return w;
    ADD_FAILURE() << "no control " << id << " of the expected kind";
    // Leaked on purpose: the test has already failed.
    if constexpr (std::is_default_constructible_v<T>)
        return new T;
    else
        return new T(new QLineEdit);
}

inline void Type(QLineEdit* edit, const QString& text)
{
    edit->clear();
    // keyClicks knows only ASCII keys; other characters arrive as key events carrying the text.
    for (QChar ch : text) {
        if (ch.unicode() < 0x80)
            QTest::keyClick(edit, ch.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

// Moves the box's selection with the arrow keys, as an operator choosing an item does.
inline void Choose(QComboBox* box, int index)
{
    while (box->currentIndex() < index)
        QTest::keyClick(box, Qt::Key_Down);
    while (box->currentIndex() > index)
        QTest::keyClick(box, Qt::Key_Up);
}

// A temporary folder for config.ini, message boxes captured, hooks reset afterwards.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Valid());
        Prompt::SetMessageHook([this](const QString& text) { m_messages.push_back(text); });
    }
    void TearDown() override
    {
        CloseAllDialogs();
        Prompt::ResetHooks();
    }
    // Writes config.ini in the temporary folder: the section and the given "key=value" lines.
    void WriteConfig(const std::vector<std::string>& lines)
    {
        std::ofstream out(m_dir.File("config.ini"), std::ios::binary);
        out << "[SET DEFAULT VALUE]\n";
        for (const auto& line : lines)
            out << line << "\n";
    }
    std::string AppDir() const { return m_dir.Path(); }

    TempDir m_dir{"camrelay-wizard"};
    std::vector<QString> m_messages;
};

}  // namespace wizardtest
