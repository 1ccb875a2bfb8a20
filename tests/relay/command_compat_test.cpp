#include "relay/TranscoderCompat.h"

#include <gtest/gtest.h>

using Args = std::vector<std::string>;

TEST(TranscoderCompat, ReplacesLibfaacOnlyWhenMissing)
{
    const Args line = {"-i", "libfaac", "-acodec", "libfaac", "-ac", "2", "-f", "flv", "rtmp://h/libfaac"};
    const Args adapted = {"-i", "libfaac", "-acodec", "aac", "-ac", "2", "-f", "flv", "rtmp://h/libfaac"};
    const struct { EncoderSupport support; Args in, out; } cases[] = {
        {{true, false}, line, adapted},    // ffmpeg lacks libfaac
        {{false, false}, line, adapted},   // ffmpeg did not answer
        {{true, true}, line, line},
        {{true, false}, {"-acodec", "copy", "-f", "flv", "x"}, {"-acodec", "copy", "-f", "flv", "x"}},
        {{true, false}, {"-i", "x", "-acodec"}, {"-i", "x", "-acodec"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AdaptArguments(c.in, c.support), c.out);
    // Missing programs, failing ones and ones that print no encoder list are not "known"; the
    // answer of the installed ffmpeg is used by the ffmpeg families test.
    for (const char* program : {"/nonexistent/ffmpeg", "/bin/false", "/bin/echo"})
        EXPECT_FALSE(QueryEncoders(program).known) << program;
}
