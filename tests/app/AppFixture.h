#pragma once
// Shared set-up of the main-window tests: a private application folder with config.ini
// written by the test and the fake transcoder linked in as its "ffmpeg".
#include "app/CRelayDlg.h"
#include "app/MessageBox.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace apptest {

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Polls cond, letting the event loop run, until it holds or timeoutMs passes.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The state letter of a process in /proc ('Z' for an ended, unreaped child), or 0 when gone.
inline char ProcessState(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

// Processes whose parent is this test process; zombies (ended, not reaped) only when asked.
inline int ChildCount(bool includeZombies = false)
{
    int count = 0;
    const std::string self = std::to_string(getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(text.substr(close + 2));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid == self && (includeZombies || state != "Z"))
            ++count;
    }
    return count;
}

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Valid());
        m_logDir = m_dir.File("fake-log");
        ASSERT_EQ(0, ::mkdir(m_logDir.c_str(), 0700));
        ::setenv("FAKE_FFMPEG_LOG_DIR", m_logDir.c_str(), 1);
        m_messages.clear();
        Prompt::SetMessageHook([this](const QString& text) { m_messages.push_back(text.toStdString()); });
    }
    void TearDown() override
    {
        m_dlg.reset();
        Prompt::ResetHooks();
        ::unsetenv("FAKE_FFMPEG_LOG_DIR");
    }

    std::string AppDir() const { return m_dir.Path(); }
    std::string IniPath() const { return m_dir.File("config.ini"); }
    void UseFakeFfmpeg() { ASSERT_EQ(0, ::symlink(CAMRELAY_BIN_DIR "/fake_ffmpeg", m_dir.File("ffmpeg").c_str())); }
    void WriteConfig(const std::string& body) { WriteFile(IniPath(), "[SET DEFAULT VALUE]\n" + body); }

    CRelayDlg& Open(bool manualTimers = true)
    {
        m_dlg = std::make_unique<CRelayDlg>(AppDir(), manualTimers);
        return *m_dlg;
    }

    // The fake's records, one per relay child it ran (the encoder query left out).
    std::vector<std::string> FakeRuns() const
    {
        std::vector<std::string> runs;
        for (const auto& entry : std::filesystem::directory_iterator(m_logDir))
            if (entry.path().extension() == ".txt") {
                std::string run = ReadFile(entry.path().string());
                if (run.find("\n-encoders\n") == std::string::npos)
                    runs.push_back(std::move(run));
            }
        return runs;
    }

    // Waits until the registered child of channel id has ended (a zombie not yet reaped).
    bool WaitChildEnded(int id, int timeoutMs = 5000)
    {
        return WaitFor([&] {
            auto found = m_dlg->m_engine.m_workers.find(id);
            return found != m_dlg->m_engine.m_workers.end() && ProcessState(found->second.m_hProcess) == 'Z';
        }, timeoutMs);
    }

    TempDir m_dir{"camrelay-app"};
    std::string m_logDir;
    std::vector<std::string> m_messages;
    std::unique_ptr<CRelayDlg> m_dlg;
};

// The channel keys a stored copy-video channel needs, under id.
inline std::string StoredChannel(int id, const std::string& name, const std::string& source,
                                 const std::string& publish, const std::string& state = "运行中")
{
    const std::string p = std::to_string(id) + "+";
    return p + "Name=" + name + "\n" + p + "SignalName=" + source + "\n" + p + "Adress=" + publish + "\n" + p +
           "checkstate=1\n" + p + "checkstate1=0\n" + p + "checkstate2=0\n" + p + "checkstate3=1\n" + p +
           "checkstate4=1\n" + p + "AdChannel=2\n" + p + "AdSmpLinGrate=44100\n" + p + "AdBitRate=64\n" + p +
           "VdWidth=640\n" + p + "VdHeight=360\n" + p + "strFilePath=\n" + p + "strAVState=" + state + "\n" + p +
           "VdTransCode=否\n";
}

}  // namespace apptest
