// The import and edit flow of the main window: the wizard, the stored channel, the new row.
#include "app/MainWindow.h"

#include "engine/ChannelEdits.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "wizard/SourcePage.h"

#include <climits>

bool MainWindow::RunChannelWizard(int id, bool isNew, CheckStates& checks, int copyOf)
{
    SourcePage wizard(isNew, this);
    wizard.SetChannel(id, m_strAppDir, copyOf);
    wizard.SetFfmpeg(m_engine.Ffmpeg());
    if (wizard.exec() != QDialog::Accepted || m_bClosed)
        return false;  // cancelled, or the program was closed while the wizard was open
    m_settings = wizard.Values();
    checks = wizard.Checks();
    if (!isNew)
        StoreChannel(ConfigStore(m_strAppDir), id, m_settings, checks);
    return true;
}

void MainWindow::OnImportSignal(int copyOf)
{
    m_lastLaunch = WizardLaunch();
    // A damaged nextId (negative, or pointing at ids that still hold keys) must not make an
    // import overwrite a stored channel or use an id the start-up scan never visits.
    m_nNextId = FirstFreeChannelId(ConfigStore(m_strAppDir), m_nNextId);
    if (m_nNextId == INT_MAX) {
        ShowMessage("信号编号已用尽，无法导入新信号!");
        return;
    }
    CheckStates checks{};
    if (!RunChannelWizard(m_nNextId, true, checks, copyOf))
        return;
    m_lastLaunch.m_strRefusal = AppendNewChannel(m_session, m_engine, m_nNextId, m_settings, checks).refusal;
}
