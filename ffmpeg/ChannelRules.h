#pragma once
#include "settings/ChannelRecord.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What a channel's values must satisfy before they are stored: the wizard's pages, the CSV
// import and the web console ask the same questions and give the same sentences. Texts are UTF-8.
namespace ChannelRules {
// The longest text config.ini gives back on reading; longer text would not survive a round trip.
constexpr std::size_t kMaxFieldLength = 259;
// The longest watermark path the transcoder's line can carry.
constexpr std::size_t kMaxWatermarkPath = 127;

// True when the text holds a control character (line breaks included).
bool HasControl(std::string_view text);
// True when the text holds a double quote, any white space (tab, full-width blank ...) or a
// control character: such text would split the transcoder's argument or a line of config.ini.
bool HasBlankQuoteOrControl(std::string_view text);
// Number of characters (code points, not bytes).
std::size_t CharCount(std::string_view text);

// Why a source address cannot be checked or pulled (empty, wrong scheme, unsafe text); empty
// when it can.
std::string SourceAddressProblem(std::string_view source);
// The source page's first problem with a name and the two addresses, as the page says it;
// empty when there is none.
std::string SourceProblem(const std::string& name, const std::string& source, const std::string& publish);
// The encoding page's first problem with its free-text fields; empty when there is none.
std::string EncodingProblem(const ChannelRecord& values);
// Problems only a record that did not come through the wizard's fields can have: a field
// longer than config.ini keeps, and a video re-encode without the numbers its line needs.
std::string RecordProblem(const ChannelRecord& values, const CheckStates& checks);
// The first problem with the extra publish addresses: more than config.ini holds, one that is
// not a publish address the main one could be, or one that repeats the main address or another
// (two publishers of one stream push each other off the server). Empty when there is none.
std::string ExtraPublishProblem(const ChannelRecord& values);
// All of the above in the pages' order; empty when the channel can be stored.
std::string ChannelProblem(const ChannelRecord& values, const CheckStates& checks);

// A new channel's values and check states as the encoding page opens them.
ChannelRecord NewChannelValues();
CheckStates NewChannelChecks();

// 备用画面's choices: the stored word and what the wizard and the page show.
struct StandInChoice {
    const char* word;
    const char* text;
};
inline constexpr StandInChoice kStandInChoices[] = {
    {"", "跟随全局设置"}, {"0", "关闭"}, {"1", "开启"}, {"2", "开启，放弃后仍推送"}};

// The watermark position words of the encoding page, in its order.
inline constexpr const char* kCorners[5] = {"左上", "居中", "右上", "左下", "右下"};
// The overlay expression for a position word and the two offsets as typed; nullopt for a word
// that is not one of kCorners.
std::optional<std::string> WatermarkPlacement(std::string_view corner, std::string_view x, std::string_view y);

// A camera address whose password holds characters that end or split the address as the
// transcoder reads it ('#', '/', '?') or that other readers take for separators ('@', ':').
struct PasswordAdvice {
    std::string sentence;   // why, and what to write instead; holds no part of the password
    std::string encodedUrl; // the address with the user-info percent-encoded
    std::string question;   // the sentence and the offer of the encoded form, as the wizard and the page ask
};
std::optional<PasswordAdvice> AdvisePassword(std::string_view url);
}  // namespace ChannelRules
