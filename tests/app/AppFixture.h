#pragma once
// Shared set-up of the main-window tests: a private application folder with config.ini written
// by the test, the fake transcoder linked in as its "ffmpeg" and its argv records, and the list's
// context menu answered through its test seam.
#include "app/MainWindow.h"
#include "settings/ConfigStore.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"
#include "ui/MessageBox.h"

#include <QContextMenuEvent>
#include <QTableWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>  // the end-to-end tests write their files with it
#include <sstream>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace apptest {


// "key=value" lines with each key put under channel id ("<id>+key").
inline std::string Keys(int id, const std::string& lines)
{
    std::string text, line;
    for (std::istringstream in(lines); std::getline(in, line);)
        text += std::to_string(id) + "+" + line + "\n";
    return text;
}

// The keys of a stored channel copying video and re-encoding audio, under id.
inline std::string StoredChannel(int id, const std::string& name, const std::string& source,
                                 const std::string& publish, const std::string& state = "运行中")
{
    return Keys(id, "Name=" + name + "\nSignalName=" + source + "\nAdress=" + publish +
                        "\ncheckstate=1\ncheckstate1=0\ncheckstate2=0\ncheckstate3=1\ncheckstate4=1\nAdChannel=2\n"
                        "AdSmpLinGrate=44100\nAdBitRate=64\nVdWidth=640\nVdHeight=360\nstrFilePath=\nstrAVState=" +
                        state + "\nVdTransCode=否");
}

// channels stored channels c0, c1 … under ids 0 …, in state, publishing to
// rtmp://127.0.0.1:1/live/<id> followed by fake (the fake transcoder's behaviour).
inline std::string StoredChannels(int channels, const std::string& fake, const std::string& state = "暂停中")
{
    std::string body = "nextId=" + std::to_string(channels) + "\n";
    for (int id = 0; id < channels; ++id)
        body += StoredChannel(id, "c" + std::to_string(id), "rtsp://127.0.0.1:1/in",
                              "rtmp://127.0.0.1:1/live/" + std::to_string(id) + fake, state);
    return body;
}

class AppTest : public ::testing::Test {
protected:
    // The fake is linked in as ffmpeg and records its runs in m_logDir; message boxes are answered.
    void SetUp() override
    {
        std::filesystem::create_directory(m_logDir);
        std::filesystem::create_symlink(CAMRELAY_BIN_DIR "/fake_ffmpeg", m_dir.File("ffmpeg"));
        ::setenv("FAKE_FFMPEG_LOG_DIR", m_logDir.c_str(), 1);
        Prompt::SetMessageHook([](const QString&) {});
    }
    void TearDown() override { m_dlg.reset(), Prompt::ResetHooks(), ::unsetenv("FAKE_FFMPEG_LOG_DIR"); }

    std::string AppDir() const { return m_dir.Path(); }
    std::string Stored(const std::string& key) const { return ConfigStore(AppDir()).GetValue(key); }
    // A shown main window on the folder, after writing config.ini with body when one is given.
    MainWindow& Open(const std::string& body = "")
    {
        m_dlg.reset();
        if (!body.empty())
            WriteFile(m_dir.File("config.ini"), "[SET DEFAULT VALUE]\n" + body);
        m_dlg = std::make_unique<MainWindow>(AppDir(), true);
        m_dlg->show();
        return *m_dlg;
    }
    // One stored paused channel, id 0, copying video and re-encoding audio, its camera address with
    // a password; extra lines go first (the first of duplicate keys wins).
    MainWindow& OpenWith(const std::string& publish, const std::string& extra = "")
    {
        return Open("nextId=1\n" + extra + StoredChannel(0, "cam", "rtsp://admin:pw@127.0.0.1:1/in/1", publish, "暂停中"));
    }
    // The row's current child (-1: none), whether it has one, and how many rows have one.
    pid_t Pid(int row) const { return m_dlg->m_engine.View(row).pid; }
    bool Running(int row) const { return Pid(row) > 0; }
    std::size_t Children() const
    {
        std::size_t n = 0;
        for (int row = 0; row < m_dlg->m_engine.RowCount(); ++row)
            n += Running(row);
        return n;
    }
    QStringList Row(int row) const
    {
        QStringList cells;
        for (int c = 0; c < 5; ++c)
            cells << m_dlg->CellText(row, c);
        return cells;
    }

    // The fake's records, one per relay child it ran (the encoder query left out).
    std::vector<std::string> FakeRuns() const
    {
        std::vector<std::string> runs;
        for (const auto& entry : std::filesystem::directory_iterator(m_logDir))
            if (std::string run = ReadFile(entry.path());
                entry.path().extension() == ".txt" && run.find("\n-encoders\n") == std::string::npos)
                runs.push_back(run);
        return runs;
    }

    // Two ticks after the child of row ended: the first clears the run bit, the second counts.
    void NoticeEnd(int row = 0)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Running(row) && !ProcessProbe::IsAlive(Pid(row)); }, 5000))
            << "the child did not end";
        m_dlg->m_engine.SuperviseTick();
        ASSERT_TRUE(Running(row)) << "cleaned up at the first notice";
        m_dlg->m_engine.SuperviseTick();
    }
    // A right-click on clickedRow (-1: the blank space below the rows) as the mouse delivers it:
    // the press, which selects as the view does, then the menu request, answered with command
    // (0: dismissed, -1: the real popup opens). Returns the row the menu was for, -1 when none.
    int Choose(int command, int clickedRow)
    {
        int menuRow = -1;
        if (command >= 0)
            m_dlg->m_menuChooser = [&](int row) { return menuRow = row, command; };
        QWidget* viewport = m_dlg->m_list->viewport();
        const QPoint pos(10, clickedRow < 0 ? viewport->height() - 5 : m_dlg->m_list->rowViewportPosition(clickedRow) + 2);
        QTest::mousePress(viewport, Qt::RightButton, {}, pos);
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
        QCoreApplication::sendEvent(viewport, &event);
        QTest::mouseRelease(viewport, Qt::RightButton, {}, pos);
        m_dlg->m_menuChooser = nullptr;
        return menuRow;
    }

    TempDir m_dir{"camrelay-app"};
    std::string m_logDir = m_dir.File("fake-log");
    std::unique_ptr<MainWindow> m_dlg;
};

}  // namespace apptest
