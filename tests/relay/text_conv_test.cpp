#include "relay/TextConv.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextConv, RoundTripsAndReplacesInvalidInput)
{
    struct Case {
        const char* what;
        std::string narrow;        // input to NarrowToWide
        std::u16string wide;       // expected result
        bool roundTrips;           // WideToNarrow(wide) gives narrow back
    };
    const Case cases[] = {
        {"empty", "", u"", true},
        {"ascii", "rtsp://192.168.1.66/onvif/live/1", u"rtsp://192.168.1.66/onvif/live/1", true},
        {"chinese", "运行中", u"运行中", true},
        {"astral", "\xF0\x9F\x93\xB7 cam", u"\U0001F4F7 cam", true},
        {"bom dropped once", "\xEF\xBB\xBF\xEF\xBB\xBFx", u"\uFEFFx", false},
        {"zero byte ends", std::string("ab\0cd", 5), u"ab", false},
        {"stray continuation", "a\x80z", u"a\uFFFDz", false},
        {"truncated sequence", "a\xE4\xB8", u"a\uFFFD", false},
        {"cut then ascii", "\xE4\xB8z", u"\uFFFDz", false},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", false},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
        {"gbk bytes", "\xCA\xC7", u"\uFFFD\uFFFD", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(NarrowToWide(c.narrow), c.wide);
        EXPECT_EQ(NarrowToWide(c.narrow.data(), c.narrow.size()), c.wide);
        if (c.roundTrips) {
            EXPECT_EQ(WideToNarrow(c.wide), c.narrow);
        }
    }
}

TEST(TextConv, WideToNarrowHandlesBrokenSurrogatesAndNull)
{
    const std::u16string loneHigh = {u'a', char16_t(0xD83D), u'b'};
    const std::u16string loneLow = {char16_t(0xDCF7)};
    EXPECT_EQ(WideToNarrow(loneHigh), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(WideToNarrow(loneLow), "\xEF\xBF\xBD");
    EXPECT_EQ(WideToNarrow(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(WideToNarrow(std::u16string(u"ab\0cd", 5)), "ab");
    EXPECT_EQ(NarrowToWide(nullptr, 3), u"");
    // The byte-order mark survives the wide-to-narrow direction.
    EXPECT_EQ(WideToNarrow(u"\uFEFFx"), "\xEF\xBB\xBFx");
}

}  // namespace
