// The process's edge on Windows. No signal ends a Windows program from outside, and a program
// with a window has no console to take Ctrl+C from: taskkill without /F, like the window's close
// button, sends the window WM_CLOSE, which SDL's window procedure turns into a quit request in
// the queue. (taskkill /F ends the process at once; nothing can say goodbye then.)
//
// Nor does a player see standard output: the log goes to a file in their local application data
// too, and a failure that ends the game is shown in a message box.
#include "app/process_edge.h"

#include <SDL.h>

#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <share.h>
#include <streambuf>
#include <string>

namespace {

// What goes to standard output, a copy of it in the log file. A program started from Explorer
// has no standard output, and a failed write there must not stop the log: the file's side counts.
class LogCopy : public std::streambuf {
  public:
    LogCopy(std::streambuf* out, std::FILE* file) : out_(out), file_(file) {}

  protected:
    int overflow(int c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        out_->sputc(traits_type::to_char_type(c));
        line_open_ = c != '\n';
        return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        out_->sputn(text, count);
        if (count > 0) {
            line_open_ = text[count - 1] != '\n';
        }
        return static_cast<std::streamsize>(
            std::fwrite(text, 1, static_cast<std::size_t>(count), file_));
    }
    // std::endl ends every log line here: the line is in the file before the next is written.
    int sync() override {
        out_->pubsync();
        return std::fflush(file_) == 0 ? 0 : -1;
    }

  public:
    // Whether the last line written has no line end yet ("Loading image: ... " of a picture
    // that did not load).
    bool line_open() const { return line_open_; }

  private:
    std::streambuf* out_;
    std::FILE* file_;
    bool line_open_ = false;
};

// The log file's path, and what copies the log into it, once keep_log_file has opened it.
std::wstring log_file;
LogCopy* log_copy = nullptr;

std::wstring wide(const char* utf8) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(size > 0 ? static_cast<std::size_t>(size) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), size);
    text.resize(text.size() - 1); // the terminator
    return text;
}

std::string narrow(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(utf8.size() - 1); // the terminator
    return utf8;
}

} // namespace

// SDL_Init's own SIGINT and SIGTERM handlers stay: nothing raises either here.
void note_outside_quit_requests() {}
void catch_outside_quit_requests() {}

// The C library's copy of the environment, which SDL reads with getenv.
void set_environment(const char* name, const char* value, bool replace) {
    if (replace || std::getenv(name) == nullptr) {
        _putenv_s(name, value);
    }
}

// Without a file (no local application data, a full disk, or another copy of the game writing
// the log right now: the file is opened for this process's writes alone), standard output stays
// the only log. The copy is never freed: std::cout writes through it until the process's very end.
void keep_log_file() {
    wchar_t base[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK) {
        return;
    }
    const std::wstring folder = std::wstring(base) + L"\\Brackenreach";
    CreateDirectoryW(folder.c_str(), nullptr); // there already after the first run
    const std::wstring path = folder + L"\\log.txt";
    MoveFileExW(path.c_str(), (folder + L"\\log.previous.txt").c_str(), MOVEFILE_REPLACE_EXISTING);
    std::FILE* file = _wfsopen(path.c_str(), L"w", _SH_DENYWR); // text mode: CRLF for Notepad
    if (file == nullptr) {
        return;
    }
    log_file = path;
    log_copy = new LogCopy(std::cout.rdbuf(), file);
    std::cout.rdbuf(log_copy);
}

// The log gets the box's words too: a player who closed the box, or whoever reads the log for
// them, finds in the file what the box said.
void tell_player_of_failure(const std::string& what) {
    std::string where;
    wchar_t folder[MAX_PATH];
    if (GetCurrentDirectoryW(MAX_PATH, folder) != 0) {
        where = "It reads config.ini, img, audio and calibri.ttf from the folder it was started "
                "in:\n" +
                narrow(folder) + "\n";
    }
    if (log_copy != nullptr && log_copy->line_open()) {
        std::cout << '\n';
    }
    std::cout << what << where << std::flush;
    SDL_Quit(); // the box must not stand beside a window that no longer answers
    const std::wstring box =
        L"Brackenreach had to stop:\n\n" + wide(what.c_str()) + L"\n" + wide(where.c_str()) +
        L"\n" + (log_file.empty() ? L"No log file could be written." : L"The log: " + log_file);
    MessageBoxW(nullptr, box.c_str(), L"Brackenreach error",
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}
