#include "settings/IniFile.h"

#include "settings/TextCodec.h"

#include <algorithm>
#include <cstring>

namespace {

// The blanks the profile reader trims: space, tab, CR, VT, FF. Tested by comparison rather
// than with find_first_not_of, which scans the set with memchr for every character.
bool IsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r' && c != '\n');
}

std::string_view Trim(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

char FoldChar(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Hash and comparison of key names without regard to ASCII case, without making folded copies.
std::uint64_t FoldHash(std::string_view s)
{
    std::uint64_t h = 14695981039346656037ull;
    for (char c : s) {
        h ^= static_cast<unsigned char>(FoldChar(c));
        h *= 1099511628211ull;
    }
    // FNV leaves the low bits, which pick the slot, poorly mixed for keys that differ only in
    // a digit or two ("417+Name", "418+Name"): fold the high bits in.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

bool FoldEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    if (a == b)
        return true;  // the usual case: the file spells the name as the program does
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldChar(a[i]) != FoldChar(b[i]))
            return false;
    return true;
}

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

bool IsQuote(char c)
{
    return c == '"' || c == '\'';
}

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
