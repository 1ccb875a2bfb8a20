#include "relay/CommandLine.h"

#include <gtest/gtest.h>

// The rules of the C runtime that splits the child's command line.
TEST(SplitCommandLine, FollowsTheCRuntimeRules)
{
    const struct { std::string line; std::vector<std::string> args; } cases[] = {
        {"   \t ", {}},
        {" -i x  -f\tflv ", {"-i", "x", "-f", "flv"}},
        {R"(a"b c"d)", {"ab cd"}},
        {R"( "" x)", {"", "x"}},
        {R"(a\b c:\dir\)", {R"(a\b)", R"(c:\dir\)"}},
        {R"(a\"b)", {R"(a"b)"}},              // 2n+1 backslashes: literal quote
        {R"(a\\"b c")", {R"(a\b c)"}},        // 2n: the quote toggles
        {R"("rtsp://h/x\" -f flv out)", {R"(rtsp://h/x" -f flv out)"}},  // trailing backslash eats the quote
        {R"("a""b" c)", {R"(a"b)", "c"}},     // doubled quote inside quotes, quoting stays on
        {R"(""" x)", {R"(" x)"}},
        {R"("unterminated a b)", {"unterminated a b"}},
        {R"(-vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -f flv)",
         {"-vf", R"( movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 )", "-f", "flv"}},
        {R"(" movie=/t/a\\\'b\,c\[d\] [w]")", {R"( movie=/t/a\\\'b\,c\[d\] [w])"}},
        {"a\nb", {"a\nb"}},                   // only blank and tab separate
        {std::string("a\0b", 3), {"a"}},
        {"中文 '单引号'", {"中文", "'单引号'"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

