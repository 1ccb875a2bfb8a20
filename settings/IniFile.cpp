#include "settings/IniFile.h"

#include "settings/TextCodec.h"

#include <algorithm>

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view s)
{
    const std::size_t b = s.find_first_not_of(kBlanks);
    if (b == std::string_view::npos)
        return {};
    const std::size_t e = s.find_last_not_of(kBlanks);
    return s.substr(b, e - b + 1);
}

bool IsBlank(char c)
{
    return kBlanks.find(c) != std::string_view::npos;
}

std::string Fold(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool IsQuote(char c)
{
    return c == '"' || c == '\'';
}

// Values the reader would alter (blanks at either end, a matching pair of quotes around it)
// are written inside one more pair of quotes, which the reader removes again.
std::string QuoteForWrite(std::string_view value)
{
    const bool needs = !value.empty() &&
        (IsBlank(value.front()) || IsBlank(value.back()) ||
         (value.size() >= 2 && IsQuote(value.front()) && value.front() == value.back()));
    if (!needs)
        return std::string(value);
    return "\"" + std::string(value) + "\"";
}

}  // namespace

IniFile IniFile::Parse(std::string_view bytes)
{
    IniFile doc;
    std::string_view body = bytes;
    if (bytes.starts_with("\xFF\xFE")) {
        doc.m_encoding = Encoding::Utf16Le;
        body.remove_prefix(2);
    } else if (bytes.starts_with("\xEF\xBB\xBF")) {
        doc.m_encoding = Encoding::Utf8Bom;
        body.remove_prefix(3);
    } else if (TextCodec::IsValidUtf8(bytes)) {
        doc.m_encoding = Encoding::Utf8;
    } else {
        std::string scratch;
        doc.m_encoding = TextCodec::Gb18030ToUtf8(bytes, scratch) ? Encoding::Gb18030 : Encoding::Mixed;
    }

    // Lines end at '\n' in the file's code units (16-bit ones in UTF-16LE).
    const std::size_t unit = doc.m_encoding == Encoding::Utf16Le ? 2 : 1;
    auto unitIs = [&](std::size_t pos, char c) {
        return body[pos] == c && (unit == 1 || body[pos + 1] == '\0');
    };
    doc.m_lines.reserve(static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n')) / unit + 1);
    std::size_t start = 0;
    bool eolFound = false;
    while (start < body.size()) {
        std::size_t pos = start;
        if (unit == 1) {
            pos = body.find('\n', start);
            if (pos == std::string_view::npos)
                pos = body.size();
        } else {
            while (pos + unit <= body.size() && !unitIs(pos, '\n'))
                pos += unit;
        }
        Line line;
        std::size_t rawEnd;
        if (pos + unit <= body.size()) {
            rawEnd = pos;
            line.eol = "\n";
            if (rawEnd >= start + unit && unitIs(rawEnd - unit, '\r')) {
                rawEnd -= unit;
                line.eol = "\r\n";
            }
            if (!eolFound) {
                doc.m_newEol = line.eol;
                eolFound = true;
            }
            pos += unit;
        } else {
            rawEnd = pos = body.size();
        }
        line.raw.assign(body.substr(start, rawEnd - start));
        start = pos;

        // Decode the line. A line that decodes in no way keeps its bytes and is not parsed.
        std::string text;
        std::string_view view = line.raw;
        bool decoded = true;
        switch (doc.m_encoding) {
        case Encoding::Utf16Le:
            decoded = TextCodec::Utf16LeToUtf8(line.raw, text);
            view = text;
            break;
        case Encoding::Utf8:
            break;
        case Encoding::Gb18030:
        case Encoding::Utf8Bom:
        case Encoding::Mixed:
            if (doc.m_encoding != Encoding::Gb18030 && TextCodec::IsValidUtf8(line.raw))
                break;
            decoded = TextCodec::Gb18030ToUtf8(line.raw, text);
            if (decoded) {
                view = text;
                line.text = text;
                line.writeText = true;  // converted to UTF-8 on the next rewrite
            }
            break;
        }
        if (decoded)
            doc.ParseLine(line, view);
        doc.m_lines.push_back(std::move(line));
    }
    doc.m_originalLines = doc.m_lines.size();

    // Index the first section of each name; later duplicates are left as they are.
    Section* current = nullptr;
    for (std::size_t i = 0; i < doc.m_lines.size(); ++i) {
        const Line& line = doc.m_lines[i];
        if (line.kind == Kind::Section) {
            const std::string folded = Fold(line.key);
            if (doc.m_sectionIndex.count(folded)) {
                current = nullptr;
                continue;
            }
            doc.m_sectionIndex.emplace(folded, doc.m_sections.size());
            Section& s = doc.m_sections.emplace_back();
            s.name = line.key;
            s.header = s.anchor = i;
            current = &s;
        } else if (line.kind == Kind::Entry && current) {
            if (current->index.emplace(Fold(line.key), i).second)
                current->order.push_back(i);
            current->anchor = i;
        }
    }
    return doc;
}

void IniFile::ParseLine(Line& line, std::string_view decoded)
{
    // NUL bytes (from damaged or zero-filled files) and stray carriage returns are ignored
    // for reading, so that every value read can be written back.
    std::string clean;
    if (decoded.find('\0') != std::string_view::npos || decoded.find('\r') != std::string_view::npos) {
        for (char c : decoded)
            if (c != '\0' && c != '\r')
                clean += c;
        decoded = clean;
    }
    const std::string_view t = Trim(decoded);
    if (t.empty() || t.front() == ';')
        return;
    if (t.front() == '[') {
        const std::size_t close = t.rfind(']');
        if (close != std::string_view::npos) {
            line.kind = Kind::Section;
            line.key.assign(Trim(t.substr(1, close - 1)));
        }
        return;
    }
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return;
    const std::string_view key = Trim(t.substr(0, eq));
    if (key.empty())
        return;
    line.kind = Kind::Entry;
    line.key.assign(key);
    line.value.assign(Trim(t.substr(eq + 1)));
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const
{
    const auto it = m_sectionIndex.find(Fold(name));
    return it == m_sectionIndex.end() ? nullptr : &m_sections[it->second];
}

std::string IniFile::GetValue(std::string_view section, std::string_view key) const
{
    const Section* s = FindSection(section);
    if (!s)
        return {};
    const auto it = s->index.find(Fold(Trim(key)));
    if (it == s->index.end())
        return {};
    std::string_view v = m_lines[it->second].value;
    if (v.size() >= 2 && IsQuote(v.front()) && v.front() == v.back())
        v = v.substr(1, v.size() - 2);
    return std::string(v.substr(0, TextCodec::Utf16PrefixBytes(v, kMaxValueUnits)));
}

std::vector<std::string> IniFile::Keys(std::string_view section) const
{
    std::vector<std::string> keys;
    if (const Section* s = FindSection(section)) {
        keys.reserve(s->order.size());
        for (std::size_t i : s->order)
            keys.push_back(m_lines[i].key);
    }
    return keys;
}

bool IniFile::IsValidKey(std::string_view key)
{
    const std::string_view t = Trim(key);
    return !t.empty() && t.find_first_of(std::string_view("\r\n\0=", 4)) == std::string_view::npos &&
        t.front() != '[' && t.front() != ';' && TextCodec::IsValidUtf8(t);
}

bool IniFile::IsValidValue(std::string_view value)
{
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos &&
        TextCodec::IsValidUtf8(value);
}

bool IniFile::SetValue(std::string_view section, std::string_view key, std::string_view value)
{
    if (!IsValidKey(key) || !IsValidValue(value) || !IsValidKey(section) ||
        section.find(']') != std::string_view::npos)
        return false;
    std::size_t si;
    if (const auto it = m_sectionIndex.find(Fold(section)); it != m_sectionIndex.end()) {
        si = it->second;
    } else {
        Line header;
        header.kind = Kind::Section;
        header.key.assign(section);
        header.text = "[" + header.key + "]";
        header.writeText = true;
        header.eol = m_newEol;
        m_lines.push_back(std::move(header));
        si = m_sections.size();
        m_sectionIndex.emplace(Fold(section), si);
        Section& s = m_sections.emplace_back();
        s.name.assign(section);
        s.header = s.anchor = m_lines.size() - 1;
        s.isNew = true;
    }
    Section& s = m_sections[si];
    const std::string_view trimmedKey = Trim(key);
    const std::string folded = Fold(trimmedKey);
    std::string quoted = QuoteForWrite(value);
    if (const auto it = s.index.find(folded); it != s.index.end()) {
        // Rewritten where it stands, under the spelling the file already has.
        Line& line = m_lines[it->second];
        line.text = line.key + "=" + quoted;
        line.value = std::move(quoted);
        line.writeText = true;
        return true;
    }
    Line line;
    line.kind = Kind::Entry;
    line.key.assign(trimmedKey);
    line.text = line.key + "=" + quoted;
    line.value = std::move(quoted);
    line.writeText = true;
    line.eol = m_newEol;
    m_lines.push_back(std::move(line));
    const std::size_t idx = m_lines.size() - 1;
    s.index.emplace(folded, idx);
    s.order.push_back(idx);
    s.added.push_back(idx);
    return true;
}

std::string IniFile::EncodeText(std::string_view utf8) const
{
    if (m_encoding == Encoding::Utf16Le)
        return TextCodec::Utf8ToUtf16Le(utf8);
    return std::string(utf8);
}

std::string IniFile::EncodeLine(const Line& line) const
{
    return line.writeText ? EncodeText(line.text) : line.raw;
}

// Writes the document back: original lines in order (unedited ones as their own bytes),
// appended keys after the last key of their section, new sections at the end. A GB18030
// file comes out as UTF-8 as a whole, so that it is never left half in one encoding and
// half in the other, and is recognised with certainty from then on.
std::string IniFile::Serialize() const
{
    std::string out;
    if (m_encoding == Encoding::Utf8Bom)
        out = "\xEF\xBB\xBF";
    else if (m_encoding == Encoding::Utf16Le)
        out = "\xFF\xFE";

    std::vector<const Section*> after(m_originalLines, nullptr);
    for (const Section& s : m_sections)
        if (!s.isNew && !s.added.empty())
            after[s.anchor] = &s;

    const std::string newEol = EncodeText(m_newEol);
    bool needEol = false;
    auto emit = [&](const Line& line) {
        if (needEol)
            out += newEol;
        out += EncodeLine(line);
        out += EncodeText(line.eol);
        needEol = line.eol.empty();
    };
    for (std::size_t i = 0; i < m_originalLines; ++i) {
        emit(m_lines[i]);
        if (after[i])
            for (std::size_t a : after[i]->added)
                emit(m_lines[a]);
    }
    for (const Section& s : m_sections) {
        if (!s.isNew)
            continue;
        emit(m_lines[s.header]);
        for (std::size_t a : s.added)
            emit(m_lines[a]);
    }
    return out;
}
