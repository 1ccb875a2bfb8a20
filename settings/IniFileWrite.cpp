// Writing config.ini: keys set where they stand or appended to their section, edited texts kept
// in one buffer, and the document written back with every untouched line as its own bytes.
#include "settings/IniFile.h"

#include "settings/IniText.h"
#include "settings/TextCodec.h"

#include <algorithm>

using namespace IniText;

namespace {

// Values the reader would alter (blanks at either end, a matching pair of quotes around it)
// are written inside one more pair of quotes, which the reader removes again.
// Builds the text of an entry line, "key=value", so quoted.
std::string EntryText(std::string_view key, std::string_view value)
{
    const bool quote = !value.empty() &&
        (IsBlank(value.front()) || IsBlank(value.back()) ||
         (value.size() >= 2 && IsQuote(value.front()) && value.front() == value.back()));
    std::string text;
    text.reserve(key.size() + value.size() + 3);
    text.append(key).append(1, '=');
    if (quote)
        text.append(1, '"').append(value).append(1, '"');
    else
        text.append(value);
    return text;
}

}  // namespace

// Edited texts go to one append-only buffer; when most of it is replaced texts, the live ones
// are copied to a fresh buffer, so that a long run of edits does not grow the document.
void IniFile::SetOwnText(Line& line, std::string_view text)
{
    if (line.store == Store::Own) {
        m_editsLive -= line.len;
        line.store = Store::Source;  // its old text is not kept by the compaction below
    }
    if (m_edits.size() - m_editsLive > m_editsLive + 65536)
        CompactEdits();
    line.off = static_cast<std::uint32_t>(m_edits.size());
    line.len = static_cast<std::uint32_t>(text.size());
    m_edits += text;
    m_editsLive += text.size();
    line.store = Store::Own;
    line.writeText = true;
}

void IniFile::CompactEdits()
{
    std::string live;
    live.reserve(m_editsLive);
    for (Line& line : m_lines) {
        if (line.store != Store::Own)
            continue;
        const auto off = static_cast<std::uint32_t>(live.size());
        live.append(m_edits, line.off, line.len);
        line.off = off;
    }
    m_edits.swap(live);
    m_editsLive = m_edits.size();
}

bool IniFile::IsValidKey(std::string_view key)
{
    const std::string_view t = Trim(key);
    return !t.empty() && t.front() != '[' && t.front() != ';' && t.find('=') == std::string_view::npos &&
        IsValidValue(t);
}

bool IniFile::IsValidValue(std::string_view value)
{
    for (const char c : value)
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    return TextCodec::IsValidUtf8(value);
}

bool IniFile::SetValue(std::string_view section, std::string_view key, std::string_view value)
{
    if (!IsValidKey(key) || !IsValidValue(value) || !IsValidKey(section) ||
        section.find(']') != std::string_view::npos)
        return false;
    std::size_t si;
    if (const Section* found = FindSection(section)) {
        si = static_cast<std::size_t>(found - m_sections.data());
    } else {
        Line header;
        header.kind = Kind::Section;
        header.eol = m_newEol;
        header.rawOff = m_bodyEnd;
        SetOwnText(header, "[" + std::string(section) + "]");
        m_lines.push_back(header);
        si = m_sections.size();
        m_sectionIndex.emplace(FoldHash(section), si);
        Section& s = m_sections.emplace_back();
        s.name.assign(section);
        s.header = s.anchor = m_lines.size() - 1;
        s.isNew = true;
    }
    Section& s = m_sections[si];
    const std::string_view trimmedKey = Trim(key);
    if (const std::uint32_t found = FindKey(s, trimmedKey); found != kNone) {
        // Rewritten where it stands, under the spelling the file already has.
        Line& line = m_lines[found];
        SetOwnText(line, EntryText(KeyOf(line), value));
        return true;
    }
    Line line;
    line.kind = Kind::Entry;
    line.eol = m_newEol;
    line.rawOff = m_bodyEnd;
    SetOwnText(line, EntryText(trimmedKey, value));
    m_lines.push_back(line);
    const auto idx = static_cast<std::uint32_t>(m_lines.size() - 1);
    InsertKey(s, idx, trimmedKey);
    s.added.push_back(idx);
    return true;
}

void IniFile::AppendText(std::string& out, std::string_view utf8) const
{
    if (m_encoding == Encoding::Utf16Le)
        out += TextCodec::Utf8ToUtf16Le(utf8);
    else
        out += utf8;
}

void IniFile::AppendLine(std::string& out, std::size_t index) const
{
    const Line& line = m_lines[index];
    if (line.writeText)
        AppendText(out, TextOf(line));
    else
        out += RawOf(index);
}

// Writes the document back: original lines in order (unedited ones as their own bytes),
// appended keys after the last key of their section, new sections at the end. Lines of a
// Mixed file that were read as GB18030 come out as UTF-8, so the file is never left half in
// one encoding and half in the other, and is recognised with certainty from then on.
bool IniFile::Serialize(const std::function<bool(std::string_view)>& sink) const
{
    constexpr std::size_t kPiece = 64 << 10;
    std::string out;
    out.reserve(kPiece + 1024);
    if (m_encoding == Encoding::Utf8Bom)
        out = "\xEF\xBB\xBF";
    else if (m_encoding == Encoding::Utf16Le)
        out = "\xFF\xFE";
    bool ok = true;
    auto pass = [&]() {
        ok = ok && sink(out);
        out.clear();
    };

    // Sections with appended keys, by the line the keys follow.
    std::vector<std::pair<std::size_t, const Section*>> after;
    for (const Section& s : m_sections)
        if (!s.isNew && !s.added.empty())
            after.emplace_back(s.anchor, &s);
    std::sort(after.begin(), after.end());
    auto next = after.begin();

    auto eolText = [](Eol eol) -> std::string_view { return eol == Eol::CrLf ? "\r\n" : eol == Eol::Lf ? "\n" : ""; };
    bool needEol = false;
    auto emit = [&](std::size_t index) {
        if (needEol)
            AppendText(out, eolText(m_newEol));
        AppendLine(out, index);
        AppendText(out, eolText(m_lines[index].eol));
        needEol = m_lines[index].eol == Eol::None;
        if (out.size() >= kPiece)
            pass();
    };
    for (std::size_t i = 0; ok && i < m_originalLines; ++i) {
        emit(i);
        for (; next != after.end() && next->first == i; ++next)
            for (std::uint32_t a : next->second->added)
                emit(a);
    }
    for (const Section& s : m_sections) {
        if (!s.isNew)
            continue;
        emit(s.header);
        for (std::uint32_t a : s.added)
            emit(a);
    }
    if (!out.empty())
        pass();
    return ok;
}

std::string IniFile::Serialize() const
{
    std::string all;
    all.reserve(m_source.size() + 16);
    Serialize([&all](std::string_view piece) {
        all += piece;
        return true;
    });
    return all;
}

void IniFile::ReserveEdits(std::size_t lines)
{
    // Edited lines are about as long as the file's lines on average (line ends included).
    const std::size_t average = m_originalLines == 0 ? 64 : m_bodyEnd / m_originalLines + 1;
    m_edits.reserve(m_edits.size() + lines * average);
}
