// Where the program keeps its files on Linux.
#pragma once

#include <string>

// The data folder (the phone's "\Application Data\Melodex"):
// $MELODEX_HOME, else $XDG_DATA_HOME/melodex, else ~/.local/share/melodex.
// SetDataFolder overrides it (the --home option, tests). Not created here.
std::string DataFolder();
void SetDataFolder(const std::string& path);

// The settings file (the phone's registry key SOFTWARE\Melodex):
// $MELODEX_SETTINGS, else $XDG_CONFIG_HOME/melodex/settings.toml, else
// ~/.config/melodex/settings.toml. SetSettingsFile overrides it.
std::string SettingsFile();
void SetSettingsFile(const std::string& path);
