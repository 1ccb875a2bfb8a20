#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// An INI document read with the Windows profile reading rules and edited in place: lines that
// are not edited are written back byte for byte, with their own line ends. A plain value
// object (copyable, no I/O); callers serialise access themselves.
class IniFile {
public:
    // How the file's bytes were decoded; an edited document is written the same way, except
    // GB18030, which is converted to UTF-8 as a whole (see Serialize).
    enum class Encoding { Utf8, Utf8Bom, Utf16Le, Gb18030, Mixed };

    static constexpr std::size_t kMaxValueUnits = 259;  // UTF-16 units a read returns at most

    IniFile() = default;
    static IniFile Parse(std::string_view bytes);

    // Value of key in the first section named section (names without regard to ASCII case),
    // without surrounding blanks and one pair of matching quotes, cut to kMaxValueUnits.
    // Empty when absent.
    std::string GetValue(std::string_view section, std::string_view key) const;
    // Keys of the section in file order, first spelling of duplicates.
    std::vector<std::string> Keys(std::string_view section) const;

    // Keys and values that can be stored without changing the file's structure.
    static bool IsValidKey(std::string_view key);
    static bool IsValidValue(std::string_view value);

    // Replaces the first key of that name where it stands, or appends it after the last key
    // of the section, or appends the section to the end. Returns false for invalid input.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);

    std::string Serialize() const;
    Encoding GetEncoding() const { return m_encoding; }

private:
    enum class Kind { Other, Section, Entry };
    struct Line {
        std::string raw;        // the bytes as read, without the line end; unused once edited
        std::string text;       // UTF-8 text to write when edited or converted
        std::string eol;        // "", "\n" or "\r\n"
        std::string key;        // Entry: the key, trimmed
        std::string value;      // Entry: the value, trimmed, quotes kept
        Kind kind = Kind::Other;
        bool writeText = false; // write text (UTF-8 or re-encoded) instead of raw
    };
    struct Section {
        std::string name;
        std::size_t header = 0;  // line of the header
        std::size_t anchor = 0;  // new keys go after this line
        bool isNew = false;      // appended to the end of the file
        std::vector<std::size_t> added;   // lines of appended keys, in order
        std::vector<std::size_t> order;   // first lines of each key, file order
        std::unordered_map<std::string, std::size_t> index;  // folded key -> line
    };

    const Section* FindSection(std::string_view name) const;
    std::string EncodeLine(const Line& line) const;
    std::string EncodeText(std::string_view utf8) const;
    void ParseLine(Line& line, std::string_view text);

    std::vector<Line> m_lines;        // original lines first, then appended ones
    std::size_t m_originalLines = 0;
    std::vector<Section> m_sections;  // the first section of each name only
    std::unordered_map<std::string, std::size_t> m_sectionIndex;  // folded name -> m_sections
    Encoding m_encoding = Encoding::Utf8;
    std::string m_newEol = "\n";
};
