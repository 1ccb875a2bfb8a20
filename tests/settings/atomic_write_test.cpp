// How config.ini is replaced: atomically, keeping its mode, refusing read-only files and
// folders, surviving a failure in the middle of a write; and reads that always see the file.
// Also which folder holds the settings, and the lock that keeps one instance per folder.
#include "SettingsTestFiles.h"
#include "settings/AtomicFile.h"
#include "settings/ConfigSection.h"
#include "settings/DataDir.h"
#include "settings/IniCache.h"
#include "settings/IniFile.h"
#include "settings/InstanceLock.h"

#include <csignal>
#include <filesystem>
#include <memory>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

// A write is refused, leaving the file and the folder as they were, when the file or the folder
// is read-only or a write fails in its middle (the file is written in pieces as it is produced:
// 70000 fails in a later piece); the store then reads the value kept for a later write and says
// why it is not saved. Else the new file is private and an existing one keeps its mode.
TEST(AtomicWrite, ModesAndReadOnlyPlaces)
{
    struct Hook { ~Hook() { AtomicFile::SetWriteFailureForTest(-1); } } hook;  // off however the test ends
    struct Case { const char* what; mode_t fileMode, dirMode; bool written; mode_t modeAfter; long failAfter = -1; const char* why = ""; };
    const Case cases[] = {  // mode 0: no file
        {"new file is private", 0, 0700, true, 0600},  {"existing mode kept", 0660, 0755, true, 0660},
        {"read-only file refused", 0444, 0700, false, 0444, -1, "没有写入权限"},
        {"read-only folder", 0644, 0555, false, 0644, -1, "没有写入权限"},
        {"failure at once", 0644, 0700, false, 0644, 0, "磁盘空间已满"},
        {"failure in a later piece", 0644, 0700, false, 0644, 70000, "磁盘空间已满"},
    };
    std::string comments;
    for (int i = 0; i < 2000; ++i)
        comments += "; " + std::string(48, 'c') + "\n";
    for (const auto& c : cases) {
        TempDir dir;
        const std::string ini = dir.File("config.ini"), value = c.written ? "4" : "3";
        if (c.fileMode)
            WriteFile(ini, "[SET DEFAULT VALUE]\nnextId=3\n" + comments), chmod(ini.c_str(), c.fileMode);
        chmod(dir.Path().c_str(), c.dirMode);
        const ConfigStore store(dir.Path());
        AtomicFile::SetWriteFailureForTest(c.failAfter);
        EXPECT_EQ(store.SetValue("4", "nextId"), c.written) << c.what;
        AtomicFile::SetWriteFailureForTest(-1);
        struct stat st {};
        EXPECT_EQ(stat(ini.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, c.modeAfter) << c.what;
        EXPECT_TRUE(ReadFile(ini) == "[SET DEFAULT VALUE]\nnextId=" + value + "\n" + (c.fileMode ? comments : "")) << c.what;
        EXPECT_EQ(store.GetValue("nextId"), "4") << c.what;
        const std::string warning = store.UnsavedWarning();
        EXPECT_TRUE(warning.find(c.why) != std::string::npos && warning.empty() == c.written) << c.what << warning;
        chmod(dir.Path().c_str(), 0700);
        chmod(ini.c_str(), 0600);
        EXPECT_TRUE(store.SavePending() && store.UnsavedWarning().empty()) << c.what;  // once the cause is gone
        EXPECT_EQ(IniFile::Parse(ReadFile(ini)).GetValue("SET DEFAULT VALUE", "nextId"), "4") << c.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1) << "temporary file left: " << c.what;
    }
}

// A file that says nothing whole about the settings (empty, its last line cut by an editor
// still saving it in place, without the section) is not rewritten: the change waits, is read
// as in force, and is written over the whole file once the editor is done. A missing file is
// simply made (a fresh folder).
TEST(AtomicWrite, HalfWrittenFilesWaitForTheirEnd)
{
    const std::string whole = "[SET DEFAULT VALUE]\n0+Name=门口\n0+Adress=rtmp://h/live/0\n1+Name=后门\n";
    const std::string utf16("\xFF\xFE[\0S\0]\0\n\0A", 9);
    const std::pair<std::string, const char*> cases[] = {
        {"", "为空"}, {whole.substr(0, whole.find("live")), "最后一行不完整"}, {utf16, "最后一行不完整"},
        {"[Other]\ny=2\n", "没有 [SET DEFAULT VALUE] 节"}};
    for (const auto& [file, why] : cases) {
        TempDir dir;
        const ConfigStore store = StoreWith(dir, file);
        EXPECT_FALSE(store.SetValue("暂停中", "1+strAVState")) << why;
        store.SetValue("3", "nextId");  // a second change waits with the first
        EXPECT_EQ(ReadFile(store.IniPath()), file) << why;
        EXPECT_EQ(store.GetValue("1+STRAVSTATE"), "暂停中") << why;
        EXPECT_NE(store.UnsavedWarning().find(why), std::string::npos) << store.UnsavedWarning();
        EXPECT_FALSE(store.SavePending()) << why;
        WriteFile(store.IniPath(), whole);
        EXPECT_TRUE(store.SavePending()) << why;
        EXPECT_EQ(ReadFile(store.IniPath()), whole + "1+strAVState=暂停中\nnextId=3\n") << why;
        EXPECT_EQ(store.UnsavedWarning(), "") << why;
    }
    TempDir fresh;
    EXPECT_TRUE(ConfigStore(fresh.Path()).SetValue("1", "m_bAutoRun"));
}

// Another program edits the file: the next read sees it, even when size and modification
// time are unchanged, and a write builds on the file as it is now.
TEST(AtomicWrite, ExternalEditsAreSeenAndSurviveAWrite)
{
    TempDir dir;
    const std::string ini = dir.File("config.ini");
    const ConfigStore store = StoreWith(dir, "[SET DEFAULT VALUE]\nk=aaaa\n");
    ASSERT_EQ(store.GetValue("k"), "aaaa");
    const auto modified = fs::last_write_time(ini);
    WriteFile(ini, "[SET DEFAULT VALUE]\nk=bbbb\n");
    fs::last_write_time(ini, modified);
    EXPECT_EQ(store.GetValue("k"), "bbbb");
    WriteFile(ini, "[SET DEFAULT VALUE]\nk=dddd\nother=1\n");
    ASSERT_TRUE(store.SetValue("eeee", "k"));
    EXPECT_EQ(ReadFile(ini), "[SET DEFAULT VALUE]\nk=eeee\nother=1\n");

    // An editor saves config.ini, by renaming its copy over it or in place, after a write has read
    // the file and before it replaces it: the write starts again from the save, which survives.
    for (const bool inPlace : {false, true}) {
        WriteFile(ini, "[SET DEFAULT VALUE]\nold=1\n");
        int edits = 0;
        EXPECT_TRUE(IniCache::Update(store.IniPath(), [&](IniFile& doc) {
            if (edits++ == 0) {
                const std::string target = inPlace ? store.IniPath() : dir.File("config.ini.new");
                WriteFile(target, "[SET DEFAULT VALUE]\nold=1\nedit=1\n");
                if (!inPlace)
                    std::filesystem::rename(target, store.IniPath());
            }
            return doc.SetValue(kConfigSection, "5+strAVState", "暂停中");
        }));
        EXPECT_EQ(edits, 2) << (inPlace ? "in place" : "by rename");
        const std::string text = ReadFile(store.IniPath());
        EXPECT_TRUE(text.find("edit=1\n") != std::string::npos && text.find("5+strAVState=暂停中\n") != std::string::npos)
            << text;
    }
}

// Where the settings live without --dir: beside the program when it is the portable layout,
// else the user's configuration folder, created private (a relative XDG_CONFIG_HOME does not count);
// only looking for it makes nothing.
TEST(DataFolder, PortableLayoutOrUserConfigFolder)
{
    struct Case { const char* what; bool hasIni; const char* xdg; const char* expected; };
    const Case cases[] = {
        {"config.ini beside a read-only program", true, "/xdg", "prog"},
        {"read-only program folder", false, "/xdg", "xdg/CamRelay"},
        {"relative XDG_CONFIG_HOME", false, "xdg", "home/.config/CamRelay"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string program = dir.File("prog"), xdg = c.xdg[0] == '/' ? dir.Path() + c.xdg : c.xdg;
        fs::create_directory(program);
        if (c.hasIni)
            WriteFile(program + "/config.ini", "[SET DEFAULT VALUE]\n");
        chmod(program.c_str(), 0555);
        const DataDir found = DataDir::Resolve(program, xdg.c_str(), dir.File("home").c_str());
        EXPECT_EQ(found.m_strPath, dir.File(c.expected)) << c.what << ": " << found.m_strError;
        EXPECT_TRUE(c.hasIni || fs::status(found.m_strPath).permissions() == fs::perms::owner_all) << c.what;
        const DataDir looked = DataDir::Resolve(program, nullptr, dir.File("elsewhere").c_str(), false);
        EXPECT_TRUE(c.hasIni || (looked.m_strPath == dir.File("elsewhere/.config/CamRelay") &&
                                 !fs::exists(dir.File("elsewhere")))) << c.what << ": looking made a folder";
    }
    // Folders no test can make. System folders, writable as root sees them, hold no settings
    // unless config.ini was put there; other folders do when they are writable.
    for (const char* system : {"/usr/bin", "/usr/local/bin", "/opt/cam", "/lib64/cam", "/etc/cam", "/"})
        EXPECT_TRUE(!DataDir::IsPortable(system, false, true) && DataDir::IsPortable(system, true, false)) << system;
    for (const char* other : {"/srv/cam", "/usrdata/cam", "/home/op/cam"})
        EXPECT_TRUE(DataDir::IsPortable(other, false, true) && !DataDir::IsPortable(other, false, false)) << other;
}

// One instance per folder: the lock excludes a second holder (a second open, as a second process
// would make) until the first lets go, also in a folder where no lock file can be created. A
// program started while the lock is held does not hold it on after CamRelay has let go.
TEST(DataFolder, InstanceLockExcludesASecondHolder)
{
    for (const mode_t mode : {0700, 0555}) {
        TempDir dir;
        chmod(dir.Path().c_str(), mode);
        InstanceLock first, second;
        EXPECT_EQ(first.Acquire(dir.Path()), InstanceLock::Result::Acquired) << mode << first.Error();
        EXPECT_EQ(second.Acquire(dir.Path()), InstanceLock::Result::InUse) << mode;
        // A program started with every descriptor it may inherit, ended whatever the outcome.
        pid_t child = -1;
        char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("60"), nullptr};
        ASSERT_EQ(0, posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ));
        const std::shared_ptr<void> reap(nullptr, [child](void*) { kill(child, SIGKILL), waitpid(child, nullptr, 0); });
        first.Release();
        // posix_spawn returns once the child has begun its exec, which closes the child's
        // close-on-exec descriptors a moment later: allow it two seconds (sleep keeps an
        // inherited lock for sixty).
        InstanceLock::Result again = InstanceLock::Result::InUse;
        for (int i = 0; i < 200 && again == InstanceLock::Result::InUse; ++i, usleep(10000))
            again = second.Acquire(dir.Path());
        EXPECT_EQ(again, InstanceLock::Result::Acquired) << mode << second.Error();
    }
}

// A kill between creating the temporary file and the rename leaves it behind: once the folder is
// locked, start-up removes every one of exactly this naming, however recent, and nothing else.
TEST(AtomicWrite, StartUpRemovesStaleTemporaryFilesOnlyAndWarnsOfAnUnreadableConfigIni)
{
    enum Kind { File, Folder, Link };
    struct Case { const char* name; Kind kind; int ageSeconds; bool removed; };
    const Case cases[] = {
        {".config.ini.Ab3xZ9", File, 120, true},    {".config.ini.Ab3xZ8", File, 0, true},
        {".config.ini.Ab3xZ90", File, 120, false},  {".config.ini.Ab-xZ9", File, 120, false},
        {".other.ini.Ab3xZ9", File, 120, false},    {".config.ini.Dir001", Folder, 120, false},
        {".config.ini.Lnk001", Link, 120, false},
    };
    TempDir dir;
    const ConfigStore store = StoreWith(dir, "[SET DEFAULT VALUE]\nnextId=0\n");
    const auto now = fs::file_time_type::clock::now();
    for (const auto& c : cases) {
        const std::string path = dir.File(c.name);
        if (c.kind == File)
            WriteFile(path, "[SET DEFAULT VALUE]\n");
        else if (c.kind == Folder)
            fs::create_directory(path);
        else
            fs::create_symlink("config.ini", path);
        if (c.kind != Link)
            fs::last_write_time(path, now - std::chrono::seconds(c.ageSeconds));
    }
    InstanceLock lock;
    ClaimDataDir(dir.Path(), "", lock);
    for (const auto& c : cases)
        EXPECT_EQ(!fs::exists(fs::symlink_status(dir.File(c.name))), c.removed) << c.name;

    // A config.ini that cannot be read is said at start (and a FIFO is not opened, which would
    // hang); a missing one is a fresh folder, not a problem.
    using Make = void (*)(const std::string&);
    const std::pair<Make, const char*> unreadable[] = {
        {[](auto&) {}, ""}, {[](auto& ini) { WriteFile(ini, "[SET DEFAULT VALUE]\n"); }, ""},
        {[](auto& ini) { ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0); }, "不是普通文件"},
        {[](auto& ini) { fs::create_directory(ini); }, "不是普通文件"},
        {[](auto& ini) { fs::create_symlink("nowhere", ini); }, "链接"}};
    for (const auto& [make, expected] : unreadable) {
        TempDir folder;
        make(folder.File("config.ini"));
        InstanceLock other;
        const std::string warning = ClaimDataDir(folder.Path(), "", other).m_strWarning;
        EXPECT_TRUE(warning.find(expected) != std::string::npos && warning.empty() == !*expected) << expected << warning;
    }
}
