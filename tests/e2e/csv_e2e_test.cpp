// The CSV import from the command line against the RTSP simulator: 200 rows with GBK names, one
// password holding '@' and five bad rows, checked four at a time and stored in one replace; a
// few of the stored channels then relay through the service.
#include "E2eFixture.h"
#include "settings/ChannelStore.h"

#include <chrono>

TEST(CsvImportCommandLine, TwoHundredRowsCheckedStoredAndRelayed)
{
    e2e::StartServers();
    ASSERT_FALSE(HasFailure());
    const TempDir root("camrelay-csv");
    const std::string program = CAMRELAY_BIN_DIR "/CamRelay", data = root.File("data");
    const std::string cam = e2e::Local().cameraUrl, closed = "rtsp://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/x";
    std::string csv = "名称,信号源地址,发布地址,分辨率,状态\n";
    for (int i = 0; i < 200; ++i) {
        std::string name = "摄像机" + std::to_string(i), source = cam, publish = e2e::Url("c" + std::to_string(i)), size;
        if (i == 7)
            source.insert(7, "admin:p@ss@");  // reserved character in the password
        if (i == 20)
            source = "ftp://127.0.0.1/x";
        if (i == 60)
            size = "big";
        if (i == 80)
            publish = e2e::Url("c79");  // the row before's pair again
        if (i == 100)
            source = closed;
        if (i == 120)
            name.clear();
        csv += name + "," + source + "," + publish + "," + size + ",\n";
    }
    WriteFile(root.File("utf8.csv"), csv);
    ASSERT_EQ(RunCommand({"iconv", "-f", "UTF-8", "-t", "GBK", "-o", root.File("gbk.csv"), root.File("utf8.csv")}, 10), 0);

    // One row checked alone, on this machine as loaded now: what each of the 195 checks would add
    // one after another.
    WriteFile(root.File("one.csv"), "名称,信号源地址,发布地址\n一,"+ cam + "," + e2e::Url("one") + "\n");
    std::string out;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCommand({program, "--import-csv", root.File("one.csv"), "--dir", root.File("one"), "--check", "--dry-run"}, 120, &out), 0) << out;
    const double one = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCommand({program, "--import-csv", root.File("gbk.csv"), "--dir", data, "--check"}, 900, &out), 1) << out;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("200 rows imported with their checks in %.1f s (one row alone %.1f s)\n", seconds, one);
    // Four at a time: well under half of one after another (about 100 s against 320 s here).
    EXPECT_LT(seconds, 195 * one / 2) << out;
    for (const char* line : {"编码：GBK，200 行信号", "第 22 行（摄像机20）：未导入：请输入正确的信号源地址以",
                             "第 62 行（摄像机60）：未导入：分辨率须写成 宽x高", "第 82 行（摄像机80）：未导入：与第 81 行的信号源地址和发布地址都相同",
                             "第 102 行（摄像机100）：未导入：检测：无法使用：", "第 122 行（）：未导入：请输入名称!",
                             "第 9 行（摄像机7）：已导入；信号源地址的用户名或密码含有", "已导入 195 行，未导入 5 行"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("p@ss"), std::string::npos);
    EXPECT_EQ(out.find("p%40ss"), std::string::npos);
    const ConfigStore store(data);
    EXPECT_EQ(store.ReadProblem(), "");
    EXPECT_EQ(ListStoredChannels(store).size(), 195u);
    EXPECT_EQ(store.GetValue("nextId"), "195");
    EXPECT_EQ(LoadChannel(store, 7).record.sourceUrl.find("admin:p%40ss@"), 7u);

    // Asked to run, five of them (the encoded password's among them) relay through the service.
    std::vector<std::string> published;
    ConfigStore::KeyValues run;
    for (int id : {0, 7, 100, 150, 194}) {
        run.push_back(ChannelStateWrite(id, kStateRunning));
        published.push_back(LoadChannel(store, id).record.publishUrl);
    }
    ASSERT_TRUE(store.SetValues(run));
    ServerProcess service;
    ASSERT_TRUE(service.Start({program, "--headless", "--dir", data}, root.File("service.log")));
    for (const std::string& info : e2e::ProbeAll(published))
        EXPECT_EQ(info.rfind("h264 640x360", 0), 0u) << info << ReadFile(root.File("service.log"));
    service.Stop();
}
