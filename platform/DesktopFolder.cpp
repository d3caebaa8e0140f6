#include "platform/DesktopFolder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvi {

std::optional<std::string> desktopFolderFrom(const std::string& home,
                                             const std::string& userDirsText) {
    if (home.empty()) {
        return std::nullopt;
    }
    std::istringstream lines(userDirsText);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string key = "XDG_DESKTOP_DIR=";
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) {
            continue;
        }
        std::string value = line.substr(start + key.size());
        while (!value.empty() &&
               (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
            value.pop_back();
        }
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        // The file writes paths as "$HOME/…" or absolute ones.
        if (value.rfind("$HOME", 0) == 0) {
            value = home + value.substr(5);
        }
        // A desktop equal to the home folder means "no desktop folder" to
        // xdg-user-dirs; keep it, it is where the user sees files.
        if (!value.empty() && value.front() == '/') {
            return value;
        }
    }
    return home + "/Desktop";
}

std::optional<std::string> desktopFolder() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        return std::nullopt;
    }
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string config = (configHome != nullptr && *configHome != '\0')
                                   ? configHome
                                   : std::string(home) + "/.config";
    std::ifstream file(config + "/user-dirs.dirs");
    std::stringstream text;
    if (file) {
        text << file.rdbuf();
    }
    return desktopFolderFrom(home, text.str());
}

namespace {

std::string describeFileError(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return "dossier introuvable";
    case EACCES:
    case EPERM:
        return "permission refusée";
    case EROFS:
        return "système de fichiers en lecture seule";
    case ENOSPC:
        return "disque plein";
    case EDQUOT:
        return "quota dépassé";
    default:
        return std::strerror(error);
    }
}

} // namespace

std::string writeFileAtomically(const std::string& path, const std::string& bytes) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string temporary = folder + "/.quorvi-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return describeFileError(errno) + " (" + folder + ")";
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const auto n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return describeFileError(error);
        }
        written += static_cast<std::size_t>(n);
    }
    // A rename of an unflushed file can leave an empty file after a crash.
    if (::fsync(fd) != 0 || ::fchmod(fd, 0644) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return describeFileError(error);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return describeFileError(error);
    }
    return {};
}

} // namespace quorvi
