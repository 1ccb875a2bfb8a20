#pragma once
#include <QString>

// Character rules for wizard fields whose text reaches the transcoder's argument line or
// a line of config.ini, where a quote, a blank or a line break would split or corrupt it.
namespace FieldRules {
// The longest text config.ini gives back on reading; longer text would not survive a round trip.
constexpr int kMaxFieldLength = 259;

// True when the text holds a double quote, any white space (tab, full-width blank ...) or
// a control character.
bool HasBlankQuoteOrControl(const QString& text);
// True when the text holds a control character (line breaks included).
bool HasControl(const QString& text);
// Number of characters (code points, not UTF-16 units).
qsizetype CharCount(const QString& text);
}  // namespace FieldRules
