// Fuzzes the config.ini reader with its encodings (UTF-8, GBK, mixed lines, UTF-16LE, damaged
// files). Property: a write through ConfigStore reads back, from the kept document and from the
// file read afresh as at the next start, and no other key of the section changes; only a key
// that cannot be written back is refused, and a file that is not whole is left as it is. The
// input is the file's bytes; its last byte picks the key to write and the value.
#include "settings/ConfigSection.h"
#include "settings/ConfigStore.h"
#include "settings/IniFile.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every key of the section, in lower case as the reader matches them, with its value.
std::map<std::string, std::string> Section(const IniFile& doc)
{
    std::map<std::string, std::string> values;
    for (std::string key : doc.Keys(kConfigSection)) {
        const std::string value = doc.GetValue(kConfigSection, key);
        for (char& c : key)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        values.emplace(key, value);
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const unsigned pick = size ? data[size - 1] : 0;
    auto expected = Section(IniFile::Parse(bytes));

    // An existing key (a GBK or UTF-16 one included) or a new one; a value with Chinese text,
    // blanks or quotes that the reader would otherwise alter.
    std::string key = "7+name";
    if (!expected.empty() && pick % 2)
        key = std::next(expected.begin(), static_cast<long>(pick % expected.size()))->first;
    const char* values[] = {"运行中", " 大门 ", "\"q\"", "", "后院=1;[x]", "😀",
                            "\t", "'s'", "\"", "x\"", "/home/用户/水 印/a.png"};
    const std::string value = values[pick % std::size(values)];

    // In memory: every write is flushed to disk, which would make the run a test of the disk. A
    // refused write stays kept for its file's path for the whole process: the next input gets
    // a folder of its own.
    static int refused = 0;
    const std::string folder = "/dev/shm/camrelay-ini-fuzz-" + std::to_string(getpid()) + "-" + std::to_string(refused);
    const std::string path = folder + "/config.ini";
    mkdir(folder.c_str(), 0700);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const ConfigStore store(folder);
    const std::string problem = store.ReadProblem();
    const bool written = store.SetValue(value, key);
    const std::string readBack = store.GetValue(key);
    std::stringstream file;
    file << std::ifstream(path, std::ios::binary).rdbuf();
    unlink(path.c_str()), rmdir(folder.c_str());
    refused += !written;

    // A key that cannot be written back is refused. Otherwise the write is made, or refused only
    // for a file that is not whole as the reload sees it (empty, cut inside its last line,
    // without the section), which is then left as it is with the value kept in force.
    expected[key] = value;
    const bool sound = !IniFile::IsValidKey(key) ? !written
                     : written ? readBack == value && Section(IniFile::Parse(file.str())) == expected
                               : !problem.empty() && readBack == value && file.str() == bytes;
    if (!sound)
        std::abort();
    return 0;
}
