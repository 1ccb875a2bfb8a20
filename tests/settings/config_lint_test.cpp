#include "settings/ConfigLint.h"

#include <gtest/gtest.h>

// Each row edits a correct file (a copy channel, a complete re-encode, a deleted channel with
// leftovers) and expects exactly these findings, each once, in this order.
TEST(ConfigLint, ReportsEachSlipOnceAndNothingInACorrectFile)
{
    const std::string base = "[SET DEFAULT VALUE]\nnextId=6\nm_bAutoRun=1\nmyNote=x\n"
        "3+Name=前门\n3+SignalName=rtsp://admin:p@ss#1@cam/s\n3+Adress=rtmp://127.0.0.1/live/3\n3+checkstate=1\n"
        "3+checkstate1=0\n3+checkstate3=1\n3+AdSmpLinGrate=44100\n3+strAVState=运行中\n3+VdTransCode=否\n3+ISDelete=false\n"
        "4+Name=后门\n4+checkstate=1\n4+checkstate1=1\n4+VdRameRate=25\n4+VdWidth=640\n4+VdHeight=360\n4+VdProFile=main\n"
        "4+VdBitRate=300\n4+strAVState=暂停中\n5+Name=旧\n5+Adresss=x\n5+strAVState=running\n5+ISDelete=true\n";
    using Edits = std::vector<std::pair<std::string, std::string>>;
    const auto edit = [&base](const Edits& edits) {
        std::string text = base;
        for (const auto& [from, to] : edits)
            text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string_view globals[] = {"nextId", "m_bAutoRun"};
    const std::string front = "信号 3（前门）：", back = "信号 4（后门）：";
    const struct { const char* what; std::string file; std::vector<std::string> found; } rows[] = {
        {"correct", base, {}},
        // A mistyped key written twice (keys compare without regard to case) is still one finding.
        {"the three typos", edit({{"3+Adress=", "3+Adresss="}, {"4+VdRameRate=25\n", ""}, {"3+strAVState=运行中", "3+strAVState=running"}}) +
             "3+ADRESSS=y\n",
         {front + "未知的键 Adresss，是否应为 Adress？（该值不会被读取）",
          front + "未知的状态 strAVState=running（应为“运行中”或“暂停中”）：该信号不会启动，重新加载也不会改变它",
          back + "视频设为重编码（checkstate1=1），但没有 VdRameRate：ffmpeg 无法启动该信号"}},
        {"numbers", edit({{"4+VdRameRate=25", "4+VdRameRate=25fps\n4+AdSmpLinGrate=12345\n4+checkstate3=yes\n4+AdChannel=0"}}),
         {back + "checkstate3=yes 不是数字，按 0 读取", back + "VdRameRate=25fps 不是数字，按 25 读取", back + "AdChannel=0 超出范围（1–8）",
          back + "AdSmpLinGrate=12345 不是 AAC 编码器支持的采样率（7350、8000、11025、12000、16000、22050、24000、32000、44100、48000、"
                 "64000、88200、96000）"}},
        {"global key and deletion mark", edit({{"m_bAutoRun", "m_bAutoRn"}, {"3+ISDelete=false", "3+ISDelete=1"}}),
         {"全局设置：未知的键 m_bAutoRn，是否应为 m_bAutoRun？（该值不会被读取）", front + "ISDelete=1 不是 true 或 false，按未删除处理"}},
        // Extra publish addresses are known keys; one that is not rtmp:// is named without its text.
        {"extra publish address", edit({{"3+checkstate=1", "3+checkstate=1\n3+Adress2=rtsp://k3y@cam/s\n3+Adress3=rtmp://h/live/b"}}),
         {front + "Adress2 不是以 rtmp:// 开头的推流地址：不会向它推流"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(LintConfig(IniFile::Parse(row.file), globals), row.found);
    }
}
