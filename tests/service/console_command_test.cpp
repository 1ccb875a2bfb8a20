// The web console's commands on a real config.ini: a command that cannot be saved still takes
// effect, and its answer, the window's message, the log and /status say it is not saved, until
// the kept change is written at a later supervision tick.
#include "engine/RelaySession.h"
#include "settings/AtomicFile.h"
#include "support/TempDir.h"
#include "web/ConsoleHost.h"
#include "web/StatusFormat.h"

#include <gtest/gtest.h>

namespace {

struct Face : RelayView, MonitorSink {
    void OnRowEvent(int, const RowEvent&) override {}
    void ShowMessage(const std::string&) override {}
    void ShowLoggedWarning(const std::string& text) override { shown.push_back(text); }
    void PostProgress(int, const ProgressSample&) override {}
    std::vector<std::string> shown;
};

// The file is emptied, or an editor saving in place has written half of it, or the disk is
// full, when the web pauses channel 1; the editor then finishes, or the disk gets room.
TEST(ConsoleCommands, AChangeThatCannotBeSavedIsSaidAndWrittenLater)
{
    struct Hook { ~Hook() { AtomicFile::SetWriteFailureForTest(-1); } } hook;
    const std::string whole = "[SET DEFAULT VALUE]\nnextId=2\n0+Name=门口\n0+strAVState=暂停中\n"
                              "1+Name=后门\n1+strAVState=运行中\n1+Adress=rtmp://127.0.0.1:1/live/1\n";
    const struct { const char* what; std::string file; long failAfter; const char* why; } cases[] = {
        {"emptied", "", -1, "为空"},
        {"half-written", whole.substr(0, whole.find("后门")), -1, "最后一行不完整"},
        {"disk full", whole, 0, "磁盘空间已满"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string ini = dir.File("config.ini");
        WriteFile(ini, whole);
        Face face;
        RelayEngine engine(dir.Path(), face, face);
        RelaySession session(engine);
        session.LoadChannels(false);
        WriteFile(ini, c.file);
        AtomicFile::SetWriteFailureForTest(c.failAfter);
        const ConsoleReply reply = CarryOut({ConsoleRequest::Kind::Pause, 1}, {engine, nullptr});
        EXPECT_EQ(reply.status, 200u);
        EXPECT_EQ(reply.json.rfind("{\"ok\":true,\"message\":\"信号 后门 已暂停\",\"saved\":false,\"warning\":", 0), 0u)
            << reply.json;
        EXPECT_NE(reply.json.find(c.why), std::string::npos) << reply.json;
        EXPECT_EQ(ReadFile(ini), c.file);
        EXPECT_TRUE(engine.View(1).stopped);
        ASSERT_EQ(face.shown.size(), 1u);
        EXPECT_NE(face.shown[0].find(c.why), std::string::npos);
        StatusFormat::StatusHeader header{"1"};
        header.unsaved = engine.Unsaved();
        EXPECT_NE(StatusFormat::Json({}, header).find(",\"unsaved\":\"更改已生效，但未能保存"), std::string::npos);

        engine.SuperviseTick();  // nothing has changed: the change still waits, and is not said again
        EXPECT_EQ(face.shown.size(), 1u);
        WriteFile(ini, whole);
        AtomicFile::SetWriteFailureForTest(-1);
        engine.SuperviseTick();
        EXPECT_EQ(ReadFile(ini), std::string(whole).replace(whole.find("运行中"), 9, "暂停中"));
        EXPECT_EQ(engine.Unsaved(), "");
        EXPECT_EQ(CarryOut({ConsoleRequest::Kind::Pause, 1}, {engine, nullptr}).json,
                  "{\"ok\":true,\"message\":\"信号 后门 已暂停\"}");
        engine.Log().Flush();
        const std::string log = ReadFile(dir.File("CamRelay.log"));
        const std::size_t warned = log.find("更改已生效，但未能保存到 config.ini：");
        EXPECT_TRUE(warned != std::string::npos && log.find(c.why, warned) != std::string::npos) << log;
        EXPECT_NE(log.find("此前未能保存的更改已写入"), std::string::npos) << log;
    }
}

// While config.ini is empty, a start says that the stored settings cannot be read rather than
// what the missing keys make of the line; a publish address that is a local path is refused.
TEST(ConsoleCommands, StoredSettingsThatCannotBeUsedAreRefusedWithTheirReason)
{
    TempDir dir;
    const ConfigStore store(dir.Path());
    const std::string channel = "[SET DEFAULT VALUE]\n0+checkstate=1\n0+SignalName=rtsp://127.0.0.1:1/a\n0+Adress=";
    const std::pair<std::string, std::string> cases[] = {
        {"", "信号设置无法读取：" + store.IniPath() + " 为空，未开启直播！"},
        {channel + "/tmp/x.flv\n", "发布地址须以 rtmp:// 开头，未开启直播！"},
        {channel + "RTMP://h/live/a\n", "发布地址须以 rtmp:// 开头，未开启直播！"},
        {channel + "rtmp://h/live/a\n", ""},
    };
    for (const auto& [file, message] : cases) {
        WriteFile(store.IniPath(), file);
        const CommandBuild build = BuildStoredCommand(store, 0);
        EXPECT_EQ(build.message, message) << file;
        EXPECT_EQ(build.line.empty(), !message.empty()) << file;
    }
}

}  // namespace
