#include "server/web_files.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The page's own kinds of file. .wasm must be application/wasm, or browsers refuse to compile
// it while it streams in.
const struct {
    const char* extension;
    const char* type;
} content_types[] = {
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".wasm", "application/wasm"},
    {".data", "application/octet-stream"},
    {".css", "text/css; charset=utf-8"},
    {".png", "image/png"},
    {".ico", "image/x-icon"},
    {".svg", "image/svg+xml"},
    {".json", "application/json"},
};

// Far above a page (ours is a few MB), far below what would strain the server's memory.
constexpr std::size_t most_bytes = 256u << 20;

const char* type_of(const std::string& name) {
    for (const auto& row : content_types) {
        const std::size_t length = std::strlen(row.extension);
        if (name.size() > length &&
            name.compare(name.size() - length, length, row.extension) == 0) {
            return row.type;
        }
    }
    return nullptr;
}

bool plain_name(const std::string& name) {
    if (name.empty() || name[0] == '.') {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Appends what is left in fd to bytes; false on a read error.
bool read_file(int fd, std::string& bytes) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got == 0) {
            return true;
        }
        if (got < 0 && errno != EINTR) {
            return false;
        }
        if (got > 0) {
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
    }
}

} // namespace

std::string WebFiles::load(const std::string& dir) {
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return dir + ": " + std::strerror(errno);
    }
    std::size_t total = 0;
    std::string failure;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        const char* type = type_of(name);
        const std::string path = dir + "/" + name;
        if (!plain_name(name) || type == nullptr) {
            continue;
        }
        // Regular files only: a symbolic link would serve whatever it points to, outside the
        // directory too. O_NOFOLLOW, so that a link swapped in after the listing is not read;
        // O_NONBLOCK, so that a FIFO cannot hold the start.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0) {
                ::close(fd);
            }
            continue;
        }
        std::string bytes;
        const bool read_whole = read_file(fd, bytes);
        ::close(fd);
        if (!read_whole) {
            failure = path + ": cannot be read";
            break;
        }
        total += bytes.size();
        if (total > most_bytes) {
            failure = dir + ": its page files come to more than 256 MiB";
            break;
        }
        files_[name] = WebFile{type, std::move(bytes)};
    }
    ::closedir(listing);
    if (failure.empty() && files_.count("index.html") == 0) {
        failure = dir + ": no index.html";
    }
    return failure;
}

const WebFile* WebFiles::find(std::string_view path) const {
    if (path == "/") {
        path = "/index.html";
    }
    if (path.empty() || path[0] != '/') {
        return nullptr;
    }
    const auto found = files_.find(path.substr(1));
    return found == files_.end() ? nullptr : &found->second;
}
