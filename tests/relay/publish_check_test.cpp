#include "ffmpeg/PublishAddress.h"
#include "ffmpeg/PublishCheck.h"
#include "support/LocalServers.h"

#include <gtest/gtest.h>

// How ffmpeg splits a publish address into application and stream name, what lacks, and that
// the shown form keeps no stream key, token or password.
TEST(PublishAddress, ShapeAppStreamAndShownForm)
{
    const struct { const char* address; const char* problem; const char* app; const char* stream; const char* shown; } rows[] = {
        {"rtmp://h/live/cam1", "", "live", "cam1", "rtmp://h/live/***"},
        {"rtmp://u:pw@[::1]:1936/live/cam?key=a/b", "", "live", "cam?key=a/b", "rtmp://u:***@[::1]:1936/live/***"},
        {"rtmp://h/live/inst/cam", "", "live/inst", "cam", "rtmp://h/live/inst/***"},
        {"rtmp://h/live/mp4:a/b", "", "live", "mp4:a/b", "rtmp://h/live/***"},
        {"rtmp://h/live", "发布地址缺少流名称：应为 rtmp://服务器/应用名/流名称", "", "", "rtmp://h/live"},
        {"rtmp://h:1935/app/", "发布地址缺少流名称", "app", "", "rtmp://h:1935/app/"},
        {"rtmp://h/live?token=s3cret", "发布地址缺少流名称", "", "", "rtmp://h/live?***"},
        {"rtmp://h/", "发布地址缺少应用名和流名称", "", "", "rtmp://h/"},
        {"rtmp://h//cam", "发布地址缺少应用名", "", "cam", "rtmp://h//***"},
        {"rtmp:///live/cam", "发布地址缺少服务器", "live", "cam", "rtmp:///live/***"},
        {"rtmp://h:0/live/cam", "发布地址的端口无效", "live", "cam", "rtmp://h:0/live/***"},
        {"/tmp/out.flv", "发布地址须以 rtmp:// 开头", "", "", "/tmp/out.flv"},
    };
    for (const auto& row : rows) {
        const PublishAddress a = ParsePublishAddress(row.address);
        EXPECT_EQ(a.problem.substr(0, std::string(row.problem).size()), row.problem) << row.address;
        EXPECT_EQ(a.problem.empty(), !*row.problem) << row.address;
        EXPECT_EQ(a.app + " " + a.stream, std::string(row.app) + " " + row.stream) << row.address;
        EXPECT_EQ(a.shown, row.shown) << row.address;
    }
}

// The publish side against real servers on 127.0.0.1: nginx-rtmp takes its application and
// hangs up on another, a closed port, an HTTP server and a server that never answers are told
// apart; localhost's ::1, where nothing listens, gives way to 127.0.0.1.
TEST(PublishCheck, ServerPortHandshakeAndApplication)
{
    const std::string rtmpPort = std::to_string(FreeTcpPort()), httpPort = std::to_string(FreeTcpPort()),
                      mutePort = std::to_string(FreeTcpPort()), closedPort = std::to_string(FreeTcpPort());
    ShellServer servers;
    ASSERT_TRUE(servers.Start("start_nginx_rtmp nginx " + rtmpPort + " && spawn_server http.log /usr/bin/python3 -m http.server "
                              "--bind 127.0.0.1 " + httpPort + " && spawn_server mute.log /usr/bin/python3 -c 'import socket,time;"
                              "s=socket.create_server((\"127.0.0.1\"," + mutePort + "));time.sleep(90)' && "
                              "for i in $(seq 200); do port_accepts " + httpPort + " && port_accepts " + mutePort +
                              " && break; sleep 0.05; done")) << servers.Log();
    const struct { std::string address, problem; } rows[] = {
        {"rtmp://127.0.0.1:" + rtmpPort + "/live/cam?key=s3cret", ""},
        {"rtmp://localhost:" + rtmpPort + "/live/cam", ""},
        {"rtmp://127.0.0.1:" + rtmpPort + "/nosuchapp/cam", "服务器上没有这个应用名：nosuchapp"},
        {"rtmp://127.0.0.1:" + closedPort + "/live/cam", "服务器端口不通：127.0.0.1:" + closedPort + "（连接被拒绝）"},
        {"rtmp://127.0.0.1:" + httpPort + "/live/cam", "该端口不是 RTMP 服务：127.0.0.1:" + httpPort},
        {"rtmp://127.0.0.1:" + mutePort + "/live/cam", "该端口不是 RTMP 服务：127.0.0.1:" + mutePort},
        {"rtmp://127.0.0.1:" + rtmpPort + "/live", "发布地址缺少流名称：应为 rtmp://服务器/应用名/流名称"},
    };
    for (const auto& row : rows) {
        const PublishCheck check = CheckPublishSide(row.address, 3000);
        EXPECT_EQ(check.problem, row.problem) << row.address;
        EXPECT_EQ(check.Text().find("s3cret"), std::string::npos) << check.Text();
    }
}
