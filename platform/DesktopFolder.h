#pragma once

#include <optional>
#include <string>

namespace quorvi {

// The user's desktop folder: XDG_DESKTOP_DIR of ~/.config/user-dirs.dirs
// ($XDG_CONFIG_HOME when set; "Bureau" on French desktops), else
// $HOME/Desktop. Never created here; absent when HOME is unknown.
std::optional<std::string> desktopFolder();

// The rule on given inputs, for tests: userDirsText is the content of
// user-dirs.dirs (empty when missing).
std::optional<std::string> desktopFolderFrom(const std::string& home,
                                             const std::string& userDirsText);

// Writes bytes to path atomically: a temporary file in the same folder,
// flushed, then renamed over the target. Empty on success, else a French
// reason. The folder is never created.
std::string writeFileAtomically(const std::string& path, const std::string& bytes);

} // namespace quorvi
