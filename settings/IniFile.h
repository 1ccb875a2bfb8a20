#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// An INI document read with the Windows profile reading rules and edited in place: lines that
// are not edited are written back byte for byte, with their own line ends. A plain value
// object (copyable, no I/O); callers serialise access themselves.
// The file's bytes are kept whole and lines refer to them by offset, so that a config.ini of
// ten thousand channels costs a few tens of bytes per line beyond its own size.
class IniFile {
public:
    // How the file's bytes were decoded. Mixed: the file is not UTF-8 as a whole, so each line
    // is decided on its own (UTF-8 when valid, else GB18030) and the document is written as
    // UTF-8 (see Serialize). The other encodings are written back as they were read.
    enum class Encoding { Utf8, Utf8Bom, Utf16Le, Mixed };

    static constexpr std::size_t kMaxValueUnits = 259;  // UTF-16 units a read returns at most

    IniFile() = default;
    static IniFile Parse(std::string_view bytes);
    static IniFile Parse(std::string&& bytes);  // keeps the bytes without copying them

    // Value of key in the first section named section (names without regard to ASCII case),
    // without surrounding blanks and one pair of matching quotes, cut to kMaxValueUnits.
    // Empty when absent.
    std::string GetValue(std::string_view section, std::string_view key) const;
    // Whether the document has a section of that name (keys or not).
    bool HasSection(std::string_view section) const { return FindSection(section) != nullptr; }
    // Keys of the section in file order, first spelling of duplicates.
    std::vector<std::string> Keys(std::string_view section) const;
    // The same keys without copying them; the views last until the next edit.
    void ForEachKey(std::string_view section, const std::function<void(std::string_view)>& visit) const;

    // Keys and values that can be stored without changing the file's structure.
    static bool IsValidKey(std::string_view key);
    static bool IsValidValue(std::string_view value);

    // Replaces the first key of that name where it stands, or appends it after the last key
    // of the section, or appends the section to the end. Returns false for invalid input.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);

    // The document's bytes, handed to sink piece by piece (tens of KB at a time) as they are
    // produced; stops and returns false as soon as sink does.
    bool Serialize(const std::function<bool(std::string_view)>& sink) const;
    std::string Serialize() const;  // the same bytes whole

    // Makes room for about that many more edited lines, so that a long run of edits (the
    // renumbering at start-up) fills one buffer instead of growing it again and again.
    void ReserveEdits(std::size_t lines);
    Encoding GetEncoding() const { return m_encoding; }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    enum class Kind : std::uint8_t { Other, Section, Entry };
    enum class Store : std::uint8_t { Source, Decoded, Own };  // where key and value lie: Own is m_edits
    enum class Eol : std::uint8_t { None, Lf, CrLf };
    // 16 bytes a line: the key and value are found again in the text when asked for (a
    // lookup parses one short line), and the raw length follows from the next line's start.
    struct Line {
        std::uint32_t rawOff = 0;            // original lines: where the bytes as read start in m_source
        std::uint32_t off = 0, len = 0;      // the UTF-8 text without the line end, in StoreOf(*this)
        Kind kind = Kind::Other;
        Store store = Store::Source;
        Eol eol = Eol::None;
        bool writeText : 1 = false;  // write the UTF-8 text (re-encoded) instead of the raw bytes
        bool first : 1 = false;      // an original entry line that holds the first spelling of its key
    };
    // Key (Entry) or name (Section) and value (Entry only, quotes kept) as the reader sees them.
    struct Fields {
        std::string_view key, value;
    };
    // Open addressing over the lines of the keys, hashed by folded key.
    struct KeyIndex {
        std::vector<std::uint64_t> slots;
        std::size_t used = 0;
    };
    struct Section {
        std::string name;
        std::size_t header = 0;  // line of the header
        std::size_t anchor = 0;  // new keys go after this line
        bool isNew = false;      // appended to the end of the file
        std::vector<std::uint32_t> added;  // lines of appended keys, in order
        KeyIndex index;
    };

    const Section* FindSection(std::string_view name) const;
    std::uint32_t FindKey(const Section& s, std::string_view key) const;  // line, or kNone
    bool InsertKey(Section& s, std::uint32_t line, std::string_view key);
    static void Reserve(KeyIndex& index, std::size_t keys);
    // Where probing for a hash (or a slot holding it) starts, and the slot after i.
    static std::size_t FirstSlot(std::uint64_t hash, std::size_t size) { return ((hash >> 32) * size) >> 32; }
    static std::size_t NextSlot(std::size_t i, std::size_t size) { return i + 1 == size ? 0 : i + 1; }
    void IndexKeys(const std::vector<std::size_t>& entries);
    std::string_view StoreOf(const Line& line) const;
    std::string_view TextOf(const Line& line) const;
    Fields FieldsOf(const Line& line) const;
    std::string_view KeyOf(const Line& line) const;  // entry lines only
    std::string_view RawOf(std::size_t index) const;
    void AppendLine(std::string& out, std::size_t index) const;
    void AppendText(std::string& out, std::string_view utf8) const;
    std::string_view ParseLine(Line& line, std::string_view text, Store store);
    bool KeyIs(const Line& line, std::string_view key) const;
    void SetOwnText(Line& line, std::string_view text);
    void CompactEdits();

    std::string m_source;               // the file as read
    std::string m_decoded;              // UTF-8 text of lines that were decoded or cleaned
    std::string m_edits;                // text of edited and added lines (and replaced ones)
    std::size_t m_editsLive = 0;        // bytes of m_edits still in use
    std::vector<Line> m_lines;          // original lines first, then appended ones
    std::size_t m_originalLines = 0;
    std::uint32_t m_bodyEnd = 0;        // end of the last original line in m_source
    std::vector<Section> m_sections;    // the first section of each name only
    std::unordered_multimap<std::uint64_t, std::size_t> m_sectionIndex;  // hash of folded name -> m_sections
    Encoding m_encoding = Encoding::Utf8;
    Eol m_newEol = Eol::Lf;
};
