// Fuzzes the config.ini reader with its encodings (UTF-8, GBK, mixed lines, UTF-16LE, damaged
// files). Property: a write through ConfigStore reads back, from the kept document and from
// the file read afresh as at the next start, and no other key of the section changes.
// The input is the file's bytes; its last byte picks the key to write and the value.
#include "settings/ConfigSection.h"
#include "settings/ConfigStore.h"
#include "settings/IniFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Folded(std::string key)
{
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

// Every key of the section with its value, as a reader sees them.
std::map<std::string, std::string> Section(const IniFile& doc)
{
    std::map<std::string, std::string> values;
    for (const std::string& key : doc.Keys(kConfigSection))
        values.emplace(Folded(key), doc.GetValue(kConfigSection, key));
    return values;
}

// A folder of this process for the file, made for each input and removed after it, so that
// nothing is left behind however the run is ended. In memory where there is a tmpfs: every
// write is flushed to disk, which would make the run a test of the disk.
const std::string& Folder()
{
    static const std::string dir = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp")
        + std::string("/camrelay-ini-fuzz-") + std::to_string(getpid());
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const unsigned pick = size ? data[size - 1] : 0;
    const IniFile before = IniFile::Parse(bytes);
    auto expected = Section(before);

    // An existing key (a GBK or UTF-16 one included) or a new one; a value with Chinese text,
    // blanks or quotes that the reader would otherwise alter.
    std::string key = "7+Name";
    if (!expected.empty() && pick % 2)
        key = std::next(expected.begin(), static_cast<long>(pick % expected.size()))->first;
    const char* values[] = {"运行中", " 大门 ", "\"q\"", "", "后院=1;[x]", "😀",
                            "\t", "'s'", "\"", "x\"", "/home/用户/水 印/a.png"};
    const std::string value = values[pick % std::size(values)];

    mkdir(Folder().c_str(), 0700);
    const std::string path = Folder() + "/config.ini";
    struct Cleanup {
        std::string path;
        ~Cleanup() { unlink(path.c_str()), rmdir(Folder().c_str()); }
    } cleanup { path };
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const ConfigStore store(Folder());
    if (!store.SetValue(value, key)) {
        // Only a key that cannot be written back is refused.
        if (IniFile::IsValidKey(key))
            std::abort();
        return 0;
    }
    if (store.GetValue(key) != value)
        std::abort();
    // The next start reads the file as written.
    const IniFile restarted = IniFile::Parse(ReadFile(path));
    expected[Folded(key)] = value;
    if (Section(restarted) != expected) {
        std::fprintf(stderr, "a write of %s changed the file's other keys or did not read back\n", key.c_str());
        std::abort();
    }
    return 0;
}
