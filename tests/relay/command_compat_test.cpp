#include "relay/TranscoderCompat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

TEST(TranscoderCompat, ReplacesLibfaacOnlyWhenMissing)
{
    const Args line = {"-i", "libfaac", "-acodec", "libfaac", "-ac", "2", "-f", "flv", "rtmp://h/libfaac"};
    const Args adapted = {"-i", "libfaac", "-acodec", "aac", "-ac", "2", "-f", "flv", "rtmp://h/libfaac"};
    const struct {
        const char* what;
        EncoderSupport support;
        Args in;
        Args out;
    } cases[] = {
        {"ffmpeg lacks libfaac", {true, false}, line, adapted},
        {"ffmpeg did not answer", {false, false}, line, adapted},
        {"ffmpeg has libfaac", {true, true}, line, line},
        {"copy stays copy", {true, false}, {"-acodec", "copy", "-f", "flv", "x"}, {"-acodec", "copy", "-f", "flv", "x"}},
        {"-acodec last", {true, false}, {"-i", "x", "-acodec"}, {"-i", "x", "-acodec"}},
        {"empty", {true, false}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(AdaptArguments(c.in, c.support), c.out);
    }
}

TEST(TranscoderCompat, QueriesTheRealProgramOnce)
{
    const EncoderSupport first = QueryEncoders("/usr/bin/ffmpeg");
    EXPECT_TRUE(first.known);
    EXPECT_FALSE(first.libfaac);
    const EncoderSupport again = QueryEncoders("/usr/bin/ffmpeg");
    EXPECT_EQ(again.known, first.known);
    EXPECT_EQ(again.libfaac, first.libfaac);

    // Missing programs, failing ones and ones that print no encoder list are not "known".
    for (const char* program : {"/nonexistent/ffmpeg", "/bin/false", "/bin/echo"}) {
        SCOPED_TRACE(program);
        const EncoderSupport s = QueryEncoders(program);
        EXPECT_FALSE(s.known);
        EXPECT_FALSE(s.libfaac);
    }
}

}  // namespace
