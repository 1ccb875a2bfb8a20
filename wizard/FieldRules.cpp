#include "wizard/FieldRules.h"

#include <QList>

namespace FieldRules {
bool HasControl(const QString& text)
{
    for (QChar ch : text) {
        if (ch.category() == QChar::Other_Control || ch == QChar::LineSeparator ||
            ch == QChar::ParagraphSeparator)
            return true;
    }
    return false;
}

bool HasBlankQuoteOrControl(const QString& text)
{
    for (QChar ch : text) {
        if (ch == u'"' || ch.isSpace())
            return true;
    }
    return HasControl(text);
}

qsizetype CharCount(const QString& text)
{
    return text.toUcs4().size();
}
}  // namespace FieldRules
