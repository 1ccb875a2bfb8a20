// How config.ini is replaced: atomically, keeping its mode, refusing read-only files and
// folders, surviving a failure in the middle of a write; and reads that always see the file.
#include "settings/AtomicFile.h"
#include "settings/ConfigStore.h"
#include "support/TempDir.h"
#include "SettingsTestFiles.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename());
    return names;
}

// Turns the injected write failure off again however the test ends.
struct FailureHook {
    explicit FailureHook(long afterBytes) { AtomicFile::SetWriteFailureForTest(afterBytes); }
    ~FailureHook() { AtomicFile::SetWriteFailureForTest(-1); }
};

TEST(AtomicWrite, FailureMidWriteLeavesTheOldFileWhole)
{
    for (const long afterBytes : {0L, 1L, 25L, 4000L}) {
        TempDir dir;
        ConfigStore store(dir.Path());
        ConfigStore::KeyValues channel;
        for (int i = 0; i < 100; ++i)
            channel.emplace_back("0+key" + std::to_string(i), std::string(40, 'v'));
        ASSERT_TRUE(store.SetValues(channel));
        const std::string before = ReadBytes(store.IniPath());
        const long replaces = ConfigStore::ReplaceCount();
        {
            FailureHook hook(afterBytes);
            EXPECT_FALSE(store.SetValue("changed", "0+key1")) << afterBytes;
            EXPECT_FALSE(store.SetValue("new", "other")) << afterBytes;
        }
        EXPECT_EQ(ReadBytes(store.IniPath()), before) << afterBytes;
        EXPECT_EQ(store.GetValue("0+key1"), std::string(40, 'v'));
        EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"config.ini"}) << "temporary file left";
        EXPECT_EQ(ConfigStore::ReplaceCount(), replaces);
        EXPECT_TRUE(store.SetValue("changed", "0+key1"));
        EXPECT_EQ(ConfigStore::ReplaceCount(), replaces + 1);
    }

    // A first write that fails creates nothing.
    TempDir dir;
    FailureHook hook(3);
    EXPECT_FALSE(ConfigStore(dir.Path()).SetValue("1", "nextId"));
    EXPECT_TRUE(Entries(dir.Path()).empty());
}

TEST(AtomicWrite, ModesAndReadOnlyPlaces)
{
    struct Case {
        const char* what;
        mode_t fileMode;  // 0: no file yet
        mode_t dirMode;
        bool written;
        mode_t modeAfter;
    };
    const std::vector<Case> cases = {
        {"new file is private", 0, 0700, true, 0600},
        {"existing mode kept", 0644, 0700, true, 0644},
        {"group-writable mode kept", 0660, 0755, true, 0660},
        {"read-only file refused", 0444, 0700, false, 0444},
        {"read-only file in read-only folder", 0644, 0555, false, 0644},
        {"no file in read-only folder", 0, 0555, false, 0},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string ini = dir.File("config.ini");
        const std::string before = "[SET DEFAULT VALUE]\nnextId=3\n";
        if (c.fileMode) {
            WriteBytes(ini, before);
            chmod(ini.c_str(), c.fileMode);
        }
        chmod(dir.Path().c_str(), c.dirMode);
        ConfigStore store(dir.Path());
        EXPECT_EQ(store.SetValue("4", "nextId"), c.written) << c.what;
        chmod(dir.Path().c_str(), 0700);
        if (c.written) {
            EXPECT_EQ(store.GetValue("nextId"), "4") << c.what;
        } else if (c.fileMode) {
            EXPECT_EQ(ReadBytes(ini), before) << c.what;
        }
        if (c.modeAfter)
            EXPECT_EQ(ModeOf(ini), c.modeAfter) << c.what;
        else
            EXPECT_NE(access(ini.c_str(), F_OK), 0) << c.what;
        EXPECT_LE(Entries(dir.Path()).size(), 1u) << c.what;
    }
}

TEST(AtomicWrite, SymbolicLinkIsFollowedAndADirectoryNeverReplaced)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0700), 0);
    ASSERT_EQ(symlink("real", dir.File("config.ini").c_str()), 0);
    ConfigStore store(dir.Path());
    EXPECT_FALSE(store.SetValue("1", "k"));  // config.ini names a folder: nothing to read or replace
    ASSERT_EQ(unlink(dir.File("config.ini").c_str()), 0);
    WriteBytes(dir.File("real/settings.ini"), "[SET DEFAULT VALUE]\nk=1\n");
    ASSERT_EQ(symlink("real/settings.ini", dir.File("config.ini").c_str()), 0);
    ASSERT_TRUE(store.SetValue("2", "k"));
    EXPECT_EQ(ReadBytes(dir.File("real/settings.ini")), "[SET DEFAULT VALUE]\nk=2\n");
    struct stat st {};
    EXPECT_TRUE(lstat(dir.File("config.ini").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

// Another program edits the file: the next read sees it, even when size and modification
// time are unchanged (an in-place edit within the same second, times set back afterwards).
TEST(AtomicWrite, ExternalEditsAreSeenByTheNextRead)
{
    TempDir dir;
    ConfigStore store(dir.Path());
    ASSERT_TRUE(store.SetValue("aaaa", "k"));
    ASSERT_EQ(store.GetValue("k"), "aaaa");
    const std::string ini = store.IniPath();

    struct stat st {};
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    WriteBytes(ini, "[SET DEFAULT VALUE]\nk=bbbb\n");
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, ini.c_str(), times, 0), 0);
    EXPECT_EQ(store.GetValue("k"), "bbbb");

    // Replaced by rename, as editors do.
    WriteBytes(dir.File("edit.tmp"), "[SET DEFAULT VALUE]\nk=cccc\n");
    ASSERT_EQ(rename(dir.File("edit.tmp").c_str(), ini.c_str()), 0);
    EXPECT_EQ(store.GetValue("k"), "cccc");

    // A write builds on what is in the file now, not on what was read before.
    WriteBytes(ini, "[SET DEFAULT VALUE]\nk=dddd\nother=1\n");
    ASSERT_TRUE(store.SetValue("eeee", "k"));
    EXPECT_EQ(ReadBytes(ini), "[SET DEFAULT VALUE]\nk=eeee\nother=1\n");

    ASSERT_EQ(unlink(ini.c_str()), 0);
    EXPECT_EQ(store.GetValue("k"), "");
}

}  // namespace
