// Reading config.ini: the encoding, the lines and their kinds, the key index of each section, and
// the values as the profile reader returns them. Writing is in IniFileWrite.cpp.
#include "settings/IniFile.h"

#include "settings/IniText.h"
#include "settings/TextCodec.h"

#include <algorithm>
#include <cstring>

using namespace IniText;

namespace {

// Occurrences of c in s, found with memchr (line ends are a few dozen bytes apart).
std::size_t CountOf(std::string_view s, char c)
{
    std::size_t n = 0;
    const char* const end = s.data() + s.size();
    for (const char* p = s.data(); p < end;) {
        const auto* hit = static_cast<const char*>(std::memchr(p, c, static_cast<std::size_t>(end - p)));
        if (!hit)
            break;
        ++n;
        p = hit + 1;
    }
    return n;
}

}  // namespace

IniFile IniFile::Parse(std::string_view bytes)
{
    return Parse(std::string(bytes));
}

IniFile IniFile::Parse(std::string&& bytes)
{
    static_assert(sizeof(Line) == 16);
    IniFile doc;
    doc.m_source = std::move(bytes);
    const std::string_view all = doc.m_source;
    std::size_t bodyStart = 0, bodyEnd = all.size();
    if (all.starts_with("\xFF\xFE")) {
        doc.m_encoding = Encoding::Utf16Le;
        bodyStart = 2;
        // A file cut in the middle of a code unit: the half unit is dropped, so that lines
        // written after it start on a unit boundary and read back.
        if ((bodyEnd - bodyStart) % 2 != 0)
            --bodyEnd;
    } else if (all.starts_with("\xEF\xBB\xBF")) {
        doc.m_encoding = Encoding::Utf8Bom;
        bodyStart = 3;
    } else if (TextCodec::IsValidUtf8(all)) {
        doc.m_encoding = Encoding::Utf8;
    } else {
        // Not UTF-8 as a whole: GBK from older installations, or a UTF-8 file with some GBK
        // lines. Deciding for the whole file would garble one kind of line, so each line is
        // decided by itself: UTF-8 when it is valid UTF-8, GB18030 otherwise.
        doc.m_encoding = Encoding::Mixed;
    }
    const std::string_view body = all.substr(bodyStart, bodyEnd - bodyStart);
    doc.m_bodyEnd = static_cast<std::uint32_t>(bodyEnd);

    // Lines end at '\n' in the file's code units (16-bit ones in UTF-16LE).
    const std::size_t unit = doc.m_encoding == Encoding::Utf16Le ? 2 : 1;
    auto unitIs = [&](std::size_t pos, char c) {
        return body[pos] == c && (unit == 1 || body[pos + 1] == '\0');
    };
    doc.m_lines.reserve(CountOf(body, '\n') / unit + 1);
    // The first section of each name is noted as its header comes (later duplicates are left as
    // they are) with the number of its entry lines; its keys are indexed once all lines are read,
    // so that the index is sized once instead of growing.
    constexpr std::size_t kNoSection = SIZE_MAX;
    std::vector<std::size_t> entries;  // entry lines of each of m_sections
    std::size_t current = kNoSection;
    auto note = [&doc, &current, &entries](std::size_t i, std::string_view name) {
        const Line& line = doc.m_lines[i];
        if (line.kind == Kind::Section) {
            if (doc.FindSection(name)) {
                current = kNoSection;
                return;
            }
            current = doc.m_sections.size();
            doc.m_sectionIndex.emplace(FoldHash(name), current);
            Section& s = doc.m_sections.emplace_back();
            s.name = name;
            s.header = s.anchor = i;
            entries.push_back(0);
        } else if (line.kind == Kind::Entry && current != kNoSection) {
            ++entries[current];
        }
    };
    std::size_t start = 0;
    bool eolFound = false;
    std::string text;
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
            line.eol = Eol::Lf;
            if (rawEnd >= start + unit && unitIs(rawEnd - unit, '\r')) {
                rawEnd -= unit;
                line.eol = Eol::CrLf;
            }
            if (!eolFound) {
                doc.m_newEol = line.eol;
                eolFound = true;
            }
            pos += unit;
        } else {
            rawEnd = pos = body.size();
        }
        line.rawOff = line.off = static_cast<std::uint32_t>(bodyStart + start);
        line.len = static_cast<std::uint32_t>(rawEnd - start);
        const std::string_view raw = body.substr(start, rawEnd - start);
        start = pos;

        // Decode the line. A line that decodes in no way is read with replacement characters, so
        // that its key still counts (a channel's name with one bad byte must not hide the
        // channel), and keeps its own bytes in the file until it is edited.
        bool damaged = false, converted = true;
        std::string_view key;
        if (doc.m_encoding == Encoding::Utf16Le) {
            damaged = !TextCodec::Utf16LeToUtf8(raw, text, true);
        } else if (doc.m_encoding != Encoding::Utf8 && !TextCodec::IsValidUtf8(raw)) {
            if ((damaged = !TextCodec::Gb18030ToUtf8(raw, text)))
                TextCodec::DamagedToUtf8(raw, text);
        } else {
            converted = false;
        }
        if (converted) {
            // GB18030 lines are converted to UTF-8 on the next rewrite.
            line.writeText = doc.m_encoding != Encoding::Utf16Le && !damaged;
            key = doc.ParseLine(line, text, Store::Decoded);
        } else {
            key = doc.ParseLine(line, raw, Store::Source);
        }
        doc.m_lines.push_back(line);
        note(doc.m_lines.size() - 1, key);  // before the next line may move m_decoded
    }
    doc.m_originalLines = doc.m_lines.size();
    doc.IndexKeys(entries);
    return doc;
}

// Indexes the keys of each section's lines in file order, the first spelling of duplicates.
void IniFile::IndexKeys(const std::vector<std::size_t>& entries)
{
    for (std::size_t k = 0; k < m_sections.size(); ++k)
        Reserve(m_sections[k].index, entries[k]);
    Section* current = nullptr;
    std::size_t next = 0;  // sections were noted in the order of their headers
    for (std::size_t i = 0; i < m_originalLines; ++i) {
        Line& line = m_lines[i];
        if (line.kind == Kind::Section) {
            current = next < m_sections.size() && m_sections[next].header == i ? &m_sections[next++] : nullptr;
        } else if (line.kind == Kind::Entry && current) {
            const auto at = static_cast<std::uint32_t>(i);
            line.first = InsertKey(*current, at, KeyOf(line));
            current->anchor = i;
        }
    }
}

// Decides the line's kind and places its text: raw lines in m_source, others in m_decoded.
// NUL bytes (from damaged or zero-filled files) and stray carriage returns are ignored for
// reading, so that every value read can be written back.
std::string_view IniFile::ParseLine(Line& line, std::string_view text, Store store)
{
    const bool unclean = text.find('\0') != std::string_view::npos || text.find('\r') != std::string_view::npos;
    if (store == Store::Decoded || unclean) {
        const std::size_t off = m_decoded.size();
        if (!unclean)
            m_decoded += text;
        for (char c : unclean ? text : std::string_view())
            if (c != '\0' && c != '\r')
                m_decoded += c;
        line.off = static_cast<std::uint32_t>(off);
        line.len = static_cast<std::uint32_t>(m_decoded.size() - off);
        line.store = Store::Decoded;
    }
    const std::string_view t = Trim(TextOf(line));
    if (t.empty() || t.front() == ';')
        return {};
    if (t.front() == '[') {
        const std::size_t close = t.rfind(']');
        if (close == std::string_view::npos)
            return {};
        line.kind = Kind::Section;
        return Trim(t.substr(1, close - 1));
    }
    const std::size_t eq = t.find('=');
    const std::string_view key = eq == std::string_view::npos ? std::string_view() : Trim(t.substr(0, eq));
    if (!key.empty())
        line.kind = Kind::Entry;
    return key;
}

std::string_view IniFile::StoreOf(const Line& line) const
{
    switch (line.store) {
    case Store::Source:
        return m_source;
    case Store::Decoded:
        return m_decoded;
    case Store::Own:
        break;
    }
    return m_edits;
}

std::string_view IniFile::TextOf(const Line& line) const
{
    return StoreOf(line).substr(line.off, line.len);
}

// The key of an entry line: what stands before its first '=', without blanks.
std::string_view IniFile::KeyOf(const Line& line) const
{
    const std::string_view t = TextOf(line);
    return Trim(t.substr(0, t.find('=')));
}

IniFile::Fields IniFile::FieldsOf(const Line& line) const
{
    const std::string_view t = Trim(TextOf(line));
    if (line.kind == Kind::Section)
        return {Trim(t.substr(1, t.rfind(']') - 1)), {}};
    if (line.kind != Kind::Entry)
        return {};
    const std::size_t eq = t.find('=');
    return {Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

// Whether an entry line's key is key (which holds no '='), without parsing the rest of the line.
bool IniFile::KeyIs(const Line& line, std::string_view key) const
{
    const std::string_view t = TextOf(line);
    std::size_t i = 0;
    while (i < t.size() && IsBlank(t[i]))
        ++i;
    if (t.size() - i < key.size() || !FoldEqual(t.substr(i, key.size()), key))
        return false;
    for (i += key.size(); i < t.size() && IsBlank(t[i]); ++i) {
    }
    return i < t.size() && t[i] == '=';
}

// The bytes of an original line as read, without its line end: up to the next line's start.
std::string_view IniFile::RawOf(std::size_t index) const
{
    const Line& line = m_lines[index];
    const std::size_t unit = m_encoding == Encoding::Utf16Le ? 2 : 1;
    const std::size_t eolUnits = line.eol == Eol::CrLf ? 2 : line.eol == Eol::Lf ? 1 : 0;
    const std::size_t end = index + 1 < m_originalLines ? m_lines[index + 1].rawOff : m_bodyEnd;
    return std::string_view(m_source).substr(line.rawOff, end - line.rawOff - eolUnits * unit);
}

// A slot holds the high half of the key's hash, which also picks the slot, above its line + 1
// (0: a free slot), so that probing rarely has to look at the lines themselves, and growing
// needs no key. The table is sized to its keys, not to a power of two (a lookup's slot miss is
// most of its cost, so a smaller table is a faster one); the hash picks the first slot by
// scaling it to the table's size.
std::uint32_t IniFile::FindKey(const Section& s, std::string_view key) const
{
    const std::vector<std::uint64_t>& slots = s.index.slots;
    if (slots.empty())
        return kNone;
    if (key.find('=') != std::string_view::npos)
        return kNone;  // no key read from a line holds one
    const std::uint64_t h = FoldHash(key);
    for (std::size_t i = FirstSlot(h, slots.size()); slots[i] != 0; i = NextSlot(i, slots.size())) {
        const auto line = static_cast<std::uint32_t>(slots[i]) - 1;
        if ((slots[i] >> 32) == (h >> 32) && KeyIs(m_lines[line], key))
            return line;
    }
    return kNone;
}

// Makes room for keys entries in all, the table at most three quarters full.
void IniFile::Reserve(KeyIndex& index, std::size_t keys)
{
    const std::size_t size = std::max<std::size_t>(16, keys + keys / 3 + 1);
    if (keys == 0 || size <= index.slots.size())
        return;
    std::vector<std::uint64_t> old(size, 0);
    old.swap(index.slots);
    for (const std::uint64_t entry : old) {
        if (entry == 0)
            continue;
        std::size_t i = FirstSlot(entry, size);
        while (index.slots[i] != 0)
            i = NextSlot(i, size);
        index.slots[i] = entry;
    }
}

// Adds the line's key unless the section has it already; returns whether it was added.
bool IniFile::InsertKey(Section& s, std::uint32_t line, std::string_view key)
{
    KeyIndex& index = s.index;
    if ((index.used + 1) * 4 > index.slots.size() * 3)
        Reserve(index, 2 * (index.used + 1));
    const std::uint64_t h = FoldHash(key);
    const std::size_t size = index.slots.size();
    std::size_t i = FirstSlot(h, size);
    for (; index.slots[i] != 0; i = NextSlot(i, size)) {
        const std::uint64_t entry = index.slots[i];
        if ((entry >> 32) == (h >> 32) && KeyIs(m_lines[static_cast<std::uint32_t>(entry) - 1], key))
            return false;
    }
    index.slots[i] = (h & 0xFFFFFFFF00000000ull) | (line + 1);
    ++index.used;
    return true;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const
{
    // A config.ini has a section or two: comparing the names is cheaper than hashing one.
    constexpr std::size_t kScanUpTo = 8;
    if (m_sections.size() <= kScanUpTo) {
        for (const Section& s : m_sections)
            if (FoldEqual(s.name, name))
                return &s;
        return nullptr;
    }
    const auto [first, last] = m_sectionIndex.equal_range(FoldHash(name));
    for (auto it = first; it != last; ++it)
        if (FoldEqual(m_sections[it->second].name, name))
            return &m_sections[it->second];
    return nullptr;
}

std::string IniFile::GetValue(std::string_view section, std::string_view key) const
{
    const Section* s = FindSection(section);
    if (!s)
        return {};
    const std::uint32_t line = FindKey(*s, Trim(key));
    if (line == kNone)
        return {};
    std::string_view v = FieldsOf(m_lines[line]).value;
    if (v.size() >= 2 && IsQuote(v.front()) && v.front() == v.back())
        v = v.substr(1, v.size() - 2);
    return std::string(v.substr(0, TextCodec::Utf16PrefixBytes(v, kMaxValueUnits)));
}

std::vector<std::string> IniFile::Keys(std::string_view section) const
{
    std::vector<std::string> keys;
    ForEachKey(section, [&keys](std::string_view key) { keys.emplace_back(key); });
    return keys;
}

void IniFile::ForEachKey(std::string_view section, const std::function<void(std::string_view)>& visit) const
{
    // The section's original lines run from its header to the next header of any section; then
    // come the keys appended to it. No list of them is kept: it would cost 4 bytes a key.
    const Section* s = FindSection(section);
    if (!s)
        return;
    for (std::size_t i = s->header + 1; !s->isNew && i < m_originalLines && m_lines[i].kind != Kind::Section; ++i)
        if (m_lines[i].first)
            visit(KeyOf(m_lines[i]));
    for (const std::uint32_t i : s->added)
        visit(KeyOf(m_lines[i]));
}
