// The browser game's files, read once at start from the web root into memory and served by
// name only: no request can reach anything that was not in that directory when the server
// started.
#pragma once

#include <map>
#include <string>
#include <string_view>

struct WebFile {
    std::string content_type;
    std::string bytes;
};

class WebFiles {
  public:
    // Reads every regular file (not a symbolic link) at the top of dir whose name is plain
    // (letters, digits, '.', '_',
    // '-', no leading dot) and whose extension has a content type here; index.html must be
    // among them. Returns an empty string, else what is wrong.
    std::string load(const std::string& dir);

    // The file for a request target's path ("/" is index.html), or nullptr.
    const WebFile* find(std::string_view path) const;

    std::size_t count() const { return files_.size(); }

  private:
    std::map<std::string, WebFile, std::less<>> files_;
};
