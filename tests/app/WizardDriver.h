#pragma once
// Drives the channel wizard that the main window opens itself (button "导入信号" or the menu's
// "编辑"): the pages are found as they become modal and worked like an operator would, typing,
// "下一步", ticking on the encoding page, then "完成" or a cancel with Escape.
#include "wizard/CMyChildDlg.h"
#include "wizard/CMyNewDlg.h"
#include "wizard/WizardTestKit.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace apptest {

// What to do on each page. Either step may be left empty (the page is then taken as opened).
struct WizardScript {
    enum class End { Finish, CancelSource, CancelEncoding };
    std::function<void(CMyNewDlg&)> source;
    std::function<void(CMyChildDlg&)> encoding;
    End end = End::Finish;
};

// Types a text into a line edit by key events (any previous text is cleared first).
inline void TypeInto(QWidget* page, const char* id, const QString& text)
{
    wizardtest::Type(wizardtest::Get<QLineEdit>(page, id), text);
}

inline void Click(QWidget* page, const char* id)
{
    if (auto* button = page->findChild<QAbstractButton*>(QString::fromLatin1(id)))
        QTest::mouseClick(button, Qt::LeftButton);
    else
        ADD_FAILURE() << "no button " << id;
}

// Arms a script for the next wizard; the object must outlive the action that opens the wizard.
// A wizard that never shows up within the deadline fails the test and closes every dialog.
// Owns its polling timers, so nothing armed here can fire into a later test.
class WizardDriver {
public:
    explicit WizardDriver(WizardScript script) : m_script(std::move(script))
    {
        WhenModal<CMyNewDlg>([this](CMyNewDlg& page) { RunSource(page); });
    }
    ~WizardDriver() { EXPECT_TRUE(m_reachedEnd) << "the wizard script did not run to its end"; }
    WizardDriver(const WizardDriver&) = delete;
    WizardDriver& operator=(const WizardDriver&) = delete;

    bool ReachedEnd() const { return m_reachedEnd; }

    // Runs fn from the event loop once a Page is the active modal window.
    template <class Page>
    void WhenModal(std::function<void(Page&)> fn)
    {
        auto timer = std::make_unique<QTimer>();
        QTimer* raw = timer.get();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        QObject::connect(raw, &QTimer::timeout, [raw, deadline, fn] {
            auto* page = qobject_cast<Page*>(QApplication::activeModalWidget());
            const bool ready = page && page->isVisible();
            if (!ready && std::chrono::steady_clock::now() < deadline)
                return;
            raw->stop();
            if (ready) {
                fn(*page);
            } else {
                ADD_FAILURE() << Page::staticMetaObject.className() << " never became modal";
                wizardtest::CloseAllDialogs();
            }
        });
        raw->start(10);
        m_timers.push_back(std::move(timer));
    }

private:
    void RunSource(CMyNewDlg& page)
    {
        if (m_script.source)
            m_script.source(page);
        if (m_script.end == WizardScript::End::CancelSource) {
            QTest::keyClick(&page, Qt::Key_Escape);
            m_reachedEnd = true;
            return;
        }
        WhenModal<CMyChildDlg>([this](CMyChildDlg& child) { RunEncoding(child); });
        Click(&page, "1006");  // returns once the encoding page has closed
        if (m_script.end == WizardScript::End::CancelEncoding) {
            // The source page stays open after a cancelled encoding page: close it too.
            EXPECT_TRUE(page.isVisible()) << "the source page closed with its encoding page";
            QTest::keyClick(&page, Qt::Key_Escape);
            m_reachedEnd = true;
        }
    }

    void RunEncoding(CMyChildDlg& page)
    {
        if (m_script.encoding)
            m_script.encoding(page);
        if (m_script.end == WizardScript::End::Finish) {
            Click(&page, "1024");
            m_reachedEnd = !page.isVisible();
        } else {
            QTest::keyClick(&page, Qt::Key_Escape);
        }
    }

    WizardScript m_script;
    bool m_reachedEnd = false;
    std::vector<std::unique_ptr<QTimer>> m_timers;
};

}  // namespace apptest
