// The import and edit flow of the main window: the wizard, the stored channel, the new row.
#include "app/CRelayDlg.h"

#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "wizard/CMyNewDlg.h"

#include <climits>

bool CRelayDlg::RunChannelWizard(int id, bool launch, bool isNew)
{
    CMyNewDlg wizard(isNew, this);
    wizard.SetChannel(id, m_strAppDir);
    wizard.SetFfmpeg(m_engine.Ffmpeg());
    if (wizard.exec() != QDialog::Accepted || m_bClosed)
        return false;  // cancelled, or the program was closed while the wizard was open
    m_settings = wizard.Values();
    const CheckStates checks = wizard.Checks();
    StoreChannel(ConfigStore(m_strAppDir), id, m_settings, checks);
    if (isNew) {
        const int row = m_session.AppendRow(id, m_settings.name, false);
        if (launch)
            m_lastLaunch = m_engine.LaunchFromWizard(row, m_settings, checks);
    }
    return true;
}

void CRelayDlg::OnImportSignal()
{
    m_lastLaunch = WizardLaunch();
    // A damaged nextId (negative, or pointing at ids that still hold keys) must not make an
    // import overwrite a stored channel or use an id the start-up scan never visits.
    m_nNextId = FirstFreeChannelId(ConfigStore(m_strAppDir), m_nNextId);
    if (m_nNextId == INT_MAX) {
        ShowMessage("信号编号已用尽，无法导入新信号!");
        return;
    }
    if (!RunChannelWizard(m_nNextId, true, true))
        return;
    const int id = m_nNextId;
    const int row = m_engine.RowCount() - 1;
    SetCellText(row, kColBitrate, m_lastLaunch.m_strRefusal.empty() ? " " : m_lastLaunch.m_strRefusal);
    const ConfigStore store(m_strAppDir);
    store.SetValues({ChannelStateWrite(id, kStateRunning)});
    SetCellText(row, kColState, kStateRunning);
    const std::string mark = m_lastLaunch.m_bReencodesVideo ? "是" : "否";
    SetCellText(row, kColTransCode, mark);
    store.SetValues({ChannelTransCodeWrite(id, mark)});
    SetCellText(row, kColSize, std::to_string(m_settings.width) + "*" + std::to_string(m_settings.height));
    ++m_nNextId;
    store.SetValue(std::to_string(m_nNextId), "nextId");
}
