#pragma once
#include <string>

// Where config.ini, NetStatus.txt and CamRelay.log live. The portable layout keeps them beside
// the executable; an installed program keeps them in the user's configuration folder instead.
// Stateless; the folder is created when needed.
struct DataDir {
    std::string m_strPath;   // absolute, without a trailing '/'; empty when no folder could be had
    std::string m_strError;  // why, when m_strPath is empty

    // The folder given on the command line: made absolute and created (mode 0700) if missing.
    static DataDir FromOption(const std::string& dir);
    // Without an option: programDir when IsPortable says so; otherwise $XDG_CONFIG_HOME/CamRelay
    // (only an absolute XDG_CONFIG_HOME counts), else $HOME/.config/CamRelay, created with mode
    // 0700. The environment values are passed in (null: unset) so callers and tests decide.
    // create false: the same folder, but nothing is made (for a reader of an existing config.ini).
    static DataDir Resolve(const std::string& programDir, const char* xdgConfigHome, const char* home,
                           bool create = true);
    // The portable layout: config.ini is already beside the program, or the program's folder is
    // writable by this process and is no system folder (/ itself, or under /usr, /bin, /sbin,
    // /lib*, /opt, /etc). Packages and the administrator put programs there, not camera
    // passwords, and root may write into every one of them: writability says nothing there.
    static bool IsPortable(const std::string& programDir, bool hasConfigIni, bool writable);
};
