#pragma once
// Drives the channel wizard that the main window opens itself (button "导入信号" or the menu's
// "编辑"): each page is worked once it is the active modal window, like an operator would,
// then left with "完成" or cancelled with Escape.
#include "wizard/CMyChildDlg.h"
#include "wizard/CMyNewDlg.h"
#include "wizard/WizardTestKit.h"

#include <QAbstractButton>

namespace apptest {

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

// What to do on each page (either step may be empty), and how the wizard ends.
struct WizardScript {
    enum class End { Finish, CancelSource, CancelEncoding };
    std::function<void(CMyNewDlg&)> source;
    std::function<void(CMyChildDlg&)> encoding;
    End end = End::Finish;
};

// Arms a script for the next wizard; must outlive the action that opens it. A page that does
// not show up within 20 s fails the test and every dialog is closed.
class WizardDriver {
public:
    explicit WizardDriver(WizardScript script) : m_script(std::move(script))
    {
        using End = WizardScript::End;
        wizardtest::WhenModalPage<CMyNewDlg>([this](CMyNewDlg& page) {
            if (m_script.source)
                m_script.source(page);
            if (m_script.end != End::CancelSource) {
                wizardtest::WhenModalPage<CMyChildDlg>([this](CMyChildDlg& child) {
                    if (m_script.encoding)
                        m_script.encoding(child);
                    m_script.end == End::Finish ? Click(&child, "1024") : QTest::keyClick(&child, Qt::Key_Escape);
                    m_reachedEnd = m_script.end == End::Finish && !child.isVisible();
                }, nullptr, &m_owner);
                Click(&page, "1006");  // returns once the encoding page has closed
                if (m_script.end == End::Finish)
                    return;
                EXPECT_TRUE(page.isVisible()) << "the source page closed with its cancelled encoding page";
            }
            QTest::keyClick(&page, Qt::Key_Escape);
            m_reachedEnd = true;
        }, nullptr, &m_owner);
    }
    ~WizardDriver() { EXPECT_TRUE(m_reachedEnd) << "the wizard script did not run to its end"; }

private:
    WizardScript m_script;
    bool m_reachedEnd = false;
    QObject m_owner;  // its end cancels the waits of a script that never ran
};

}  // namespace apptest
