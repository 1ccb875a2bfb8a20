#pragma once
// Shared helpers of the wizard tests and of the main-window tests that go through the wizard: a
// temporary config.ini, captured message boxes, lookup of controls by id, typing and clicking
// as an operator does, driving of modal pages from inside their event loops, and a script for
// the whole wizard that the main window opens itself.
#include "support/TempDir.h"
#include "ui/MessageBox.h"
#include "wizard/SourcePage.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QTest>
#include <QTimer>
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

inline void TypeInto(QWidget* page, const char* id, const QString& text) { Type(Get<QLineEdit>(page, id), text); }

inline void Click(QWidget* page, const char* id) { QTest::mouseClick(Get<QWidget>(page, id), Qt::LeftButton); }

// Makes the source page's "其他推流地址" hold extras: every line deleted with 删除, then each
// address added with 添加 and typed into its line, Enter ending the edit.
inline void TypeExtras(SourcePage& page, const QStringList& extras)
{
    auto* list = Get<QListWidget>(&page, "extraPublish");
    for (int lines = list->count(); lines-- > 0;) {
        list->setCurrentRow(0);
        Click(&page, "extraPublishRemove");
    }
    for (const QString& address : extras) {
        Click(&page, "extraPublishAdd");
        QLineEdit* editor = nullptr;
        for (QLineEdit* open : list->findChildren<QLineEdit*>())
            editor = open->isVisible() ? open : editor;
        ASSERT_TRUE(editor) << "添加 opened no line to type into";
        Type(editor, address);
        QTest::keyClick(editor, Qt::Key_Return);  // the line takes the text from the event loop
        const QPointer<QLineEdit> typed(editor);
        EXPECT_TRUE(QTest::qWaitFor([&typed] { return !typed || !typed->isVisible(); })) << "the line stayed open";
    }
}

// Moves the box's selection with the arrow keys, as an operator choosing an item does.
inline void Choose(QComboBox* box, int index)
{
    for (int keys = box->count(); box->currentIndex() != index && keys-- > 0;)
        QTest::keyClick(box, box->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
    EXPECT_EQ(box->currentIndex(), index) << "cannot choose item " << index << " of " << qPrintable(box->objectName());
}

// What to do on each page of the wizard (either step may be empty), and whether it ends with
// "完成" or is cancelled: Escape on the encoding page, then on the source page.
struct WizardScript {
    std::function<void(SourcePage&)> source;
    std::function<void(EncodingPage&)> encoding;
    bool cancel = false;
};

// Arms a script for the next wizard, worked page by page once each is the active modal window;
// must outlive the action that opens it.
class WizardDriver {
public:
    explicit WizardDriver(WizardScript script) : m_script(std::move(script))
    {
        WhenModalPage<SourcePage>([this](SourcePage& page) {
            if (m_script.source)
                m_script.source(page);
            WhenModalPage<EncodingPage>([this](EncodingPage& child) {
                if (m_script.encoding)
                    m_script.encoding(child);
                m_script.cancel ? QTest::keyClick(&child, Qt::Key_Escape) : Click(&child, "1024");
                m_reachedEnd = m_script.cancel || !child.isVisible();
            }, nullptr, &m_owner);
            Click(&page, "1006");  // returns once the encoding page has closed
            if (!m_script.cancel)
                return;
            EXPECT_TRUE(page.isVisible()) << "the source page closed with its cancelled encoding page";
            QTest::keyClick(&page, Qt::Key_Escape);
        }, nullptr, &m_owner);
    }
    ~WizardDriver() { EXPECT_TRUE(m_reachedEnd) << "the wizard script did not run to its end"; }

private:
    WizardScript m_script;
    bool m_reachedEnd = false;
    QObject m_owner;  // its end cancels the waits of a script that never ran
};

// A temporary folder for config.ini, message boxes captured, hooks reset afterwards.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override { Prompt::SetMessageHook([this](const QString& text) { m_messages.push_back(text); }); }
    void TearDown() override { CloseAllDialogs(), Prompt::ResetHooks(); }

    TempDir m_dir{"camrelay-wizard"};
    QStringList m_messages;
};

}  // namespace wizardtest
