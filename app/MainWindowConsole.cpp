// The web console's requests in the main window: carried out on the GUI thread through the
// engine operations of the window's menus, so the list shows the change at once.
#include "app/MainWindow.h"

void MainWindow::Submit(ConsoleRequest request, std::function<void(ConsoleReply)> reply)
{
    // A queued call: Qt drops it if the window is gone first; the server answers its client then.
    QMetaObject::invokeMethod(this, [this, request = std::move(request), reply = std::move(reply)] {
        if (m_bClosed) {
            reply({503, "{\"error\":\"CamRelay 正在退出\"}\n"});
            return;
        }
        reply(CarryOut(request, {m_engine, nullptr, &m_session, &m_nNextId}));
        Reschedule();  // "全部运行" has turns to take
        if (m_onStatusChange)
            m_onStatusChange();
    }, Qt::QueuedConnection);
}
