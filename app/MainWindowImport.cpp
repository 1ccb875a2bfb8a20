// The import and edit flow of the main window: the wizard, the stored channel, the new row.
#include "app/MainWindow.h"

#include "ffmpeg/CommandBuilder.h"
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
    const int id = m_nNextId++;
    // The channel, its state word and re-encoding mark and the next id go into one replace of
    // the file, before the child starts. The mark follows the choice of video re-encoding, also
    // for a line the launch refuses.
    const std::string mark = BuildCommandLine(checks, m_settings).reencodesVideo ? "是" : "否";
    ConfigStore::KeyValues writes = ChannelWrites(id, m_settings, checks);
    writes.push_back(ChannelStateWrite(id, kStateRunning));
    writes.push_back(ChannelTransCodeWrite(id, mark));
    writes.emplace_back("nextId", std::to_string(m_nNextId));
    ConfigStore(m_strAppDir).SetValues(writes);

    const std::string size = std::to_string(m_settings.width) + "*" + std::to_string(m_settings.height);
    const int row = m_session.AppendRow(id, {m_settings.name, " ", kStateRunning, mark, size, {}}, false);
    m_lastLaunch = m_engine.LaunchFromWizard(row, m_settings, checks);
}
