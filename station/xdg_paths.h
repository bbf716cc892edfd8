// Where the station's files live, by the XDG base directory rules: a variable that is unset,
// empty or not an absolute path is ignored and its default is used.
#pragma once

#include <string>
#include <vector>

// The user's home folder: $HOME when absolute, else the password database's entry; "" when
// neither gives an absolute path.
std::string HomeFolder();

// $XDG_CONFIG_HOME, default $HOME/.config ("" when there is no home folder).
std::string ConfigHomeFolder();

// The absolute entries of $XDG_CONFIG_DIRS, most important first; /etc/xdg when the variable is
// unset, empty or holds no absolute entry.
std::vector<std::string> ConfigFolders();

// $XDG_STATE_HOME, default $HOME/.local/state ("" when there is no home folder).
std::string StateHomeFolder();

// Creates `folder` and any missing parents with mode 0700. Returns 0, or the errno of the first
// step that failed (ENOTDIR when a part of the path is a file).
int MakeFolders(const std::string& folder);
