#include "server/web_files.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <sys/stat.h>

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
        struct stat info {};
        if (!plain_name(name) || type == nullptr || ::stat(path.c_str(), &info) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in || in.bad()) {
            failure = path + ": cannot be read";
            break;
        }
        total += bytes.str().size();
        if (total > most_bytes) {
            failure = dir + ": its page files come to more than 256 MiB";
            break;
        }
        files_[name] = WebFile{type, bytes.str()};
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
