#pragma once
// Shared helpers of the wizard tests: a temporary config.ini, captured message boxes, lookup of
// controls by id, and driving of modal pages from inside their event loops.
#include "app/MessageBox.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

namespace wizardtest {

// Rejects every open dialog, innermost first, so that no exec() is left waiting.
inline void CloseAllDialogs()
{
    while (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
        modal->reject();
}

// Runs fn from the event loop as soon as a visible Page (dlg itself, when given) is the active
// modal window. If none gets there within 20 s, the test fails and every dialog is closed
// instead of hanging. The wait ends early with owner, when given.
template <class Page> void WhenModalPage(std::function<void(Page&)> fn, QDialog* dlg = nullptr, QObject* owner = nullptr)
{
    auto* timer = new QTimer(owner);
    QObject::connect(timer, &QTimer::timeout, [=, deadline = QDeadlineTimer(20000)] {
        auto* page = qobject_cast<Page*>(QApplication::activeModalWidget());
        const bool ready = page && page->isVisible() && (!dlg || page == dlg);
        if (!ready && !deadline.hasExpired())
            return;
        timer->stop();
        timer->deleteLater();
        if (ready)
            return fn(*page);
        ADD_FAILURE() << (dlg ? dlg->metaObject() : &Page::staticMetaObject)->className() << " never became modal";
        CloseAllDialogs();
    });
    timer->start(10);
}

inline void WhenModal(QDialog* dlg, std::function<void()> fn)
{
    WhenModalPage<QDialog>([fn](QDialog&) { fn(); }, dlg);
}

// The control with the given id; a failed lookup is reported and answered with a stand-in
// (leaked on purpose: the test has already failed).
template <class T> T* Get(QWidget* root, const char* id)
{
    if (T* w = root->findChild<T*>(QString::fromLatin1(id)))
        return w;
    ADD_FAILURE() << "no control " << id << " of the expected kind";
    return new T;
}

// Types by key events carrying the text, one per character (keyClicks knows only ASCII).
inline void Type(QLineEdit* edit, const QString& text)
{
    edit->clear();
    for (QChar ch : text)
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(ch), Qt::NoModifier);
}

// Moves the box's selection with the arrow keys, as an operator choosing an item does.
inline void Choose(QComboBox* box, int index)
{
    for (int keys = box->count(); box->currentIndex() != index && keys-- > 0;)
        QTest::keyClick(box, box->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
    EXPECT_EQ(box->currentIndex(), index) << "cannot choose item " << index << " of " << qPrintable(box->objectName());
}

// A temporary folder for config.ini, message boxes captured, hooks reset afterwards.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override { Prompt::SetMessageHook([this](const QString& text) { m_messages.push_back(text); }); }
    void TearDown() override { CloseAllDialogs(), Prompt::ResetHooks(); }
    // config.ini in the temporary folder: the section and the given "key=value\n" lines.
    void WriteConfig(const std::string& lines)
    {
        std::ofstream(m_dir.File("config.ini"), std::ios::binary) << "[SET DEFAULT VALUE]\n" << lines;
    }

    TempDir m_dir{"camrelay-wizard"};
    QStringList m_messages;
};

}  // namespace wizardtest
