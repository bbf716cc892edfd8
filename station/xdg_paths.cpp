#include "station/xdg_paths.h"

#include <cerrno>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include <pwd.h>

namespace {

// The value of `name` when it is an absolute path, else "".
std::string AbsoluteVariable(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return "";
    return value;
}

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string UnderHome(const char* variable, const char* fallback)
{
    std::string folder = AbsoluteVariable(variable);
    if (!folder.empty()) return WithoutTrailingSlashes(folder);
    const std::string home = HomeFolder();
    if (home.empty()) return "";
    return (home == "/" ? "" : home) + fallback;
}

}  // namespace

std::string HomeFolder()
{
    std::string home = AbsoluteVariable("HOME");
    if (home.empty()) {
        // getpwuid_r with a local buffer: the window and a worker may ask at the same time.
        struct passwd entry;
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    return WithoutTrailingSlashes(home);
}

std::string ConfigHomeFolder()
{
    return UnderHome("XDG_CONFIG_HOME", "/.config");
}

std::string StateHomeFolder()
{
    return UnderHome("XDG_STATE_HOME", "/.local/state");
}

std::vector<std::string> ConfigFolders()
{
    std::vector<std::string> folders;
    const char* value = std::getenv("XDG_CONFIG_DIRS");
    std::string list = value != nullptr ? value : "";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        const std::string entry = list.substr(start, end - start);
        if (!entry.empty() && entry[0] == '/') folders.push_back(WithoutTrailingSlashes(entry));
        start = end + 1;
    }
    if (folders.empty()) folders.push_back("/etc/xdg");
    return folders;
}

int MakeFolders(const std::string& folder)
{
    if (folder.empty()) return ENOENT;
    struct stat status;
    if (::stat(folder.c_str(), &status) == 0) return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
    const size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const int parent = MakeFolders(folder.substr(0, slash));
        if (parent != 0) return parent;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}
