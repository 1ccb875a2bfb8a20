#include "relay/TextConv.h"

#include <gtest/gtest.h>

TEST(TextConv, RoundTripsAndReplacesInvalidInput)
{
    const struct { std::string narrow; std::u16string wide; bool roundTrips; } cases[] = {
        {"", u"", true},
        {"运行中 rtsp://h/1", u"运行中 rtsp://h/1", true},
        {"\xF0\x9F\x93\xB7 cam", u"\U0001F4F7 cam", true},           // astral: a surrogate pair
        {"\xEF\xBB\xBF\xEF\xBB\xBFx", u"\uFEFFx", false},             // one byte-order mark dropped
        {std::string("ab\0cd", 5), u"ab", false},                     // a zero byte ends the text
        {"a\x80z", u"a\uFFFDz", false},
        {"\xC0\xAF", u"\uFFFD\uFFFD", false},                         // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},               // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},     // above U+10FFFF
        {"\xCA\xC7", u"\uFFFD\uFFFD", false},                         // GBK bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NarrowToWide(c.narrow), c.wide) << c.narrow;
        EXPECT_EQ(NarrowToWide(c.narrow.data(), c.narrow.size()), c.wide) << c.narrow;
        if (c.roundTrips) {
            EXPECT_EQ(WideToNarrow(c.wide), c.narrow);
        }
    }
    EXPECT_EQ(WideToNarrow(std::u16string{u'a', char16_t(0xD83D), u'b'}), "a\xEF\xBF\xBD" "b");   // lone surrogate
    EXPECT_EQ(WideToNarrow(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(WideToNarrow(std::u16string(u"ab\0cd", 5)), "ab");
    EXPECT_EQ(NarrowToWide(nullptr, 3), u"");
    EXPECT_EQ(WideToNarrow(u"\uFEFFx"), "\xEF\xBB\xBFx");
}

