// Desktop helper for the demo run and the end-to-end tests, doing what a window manager does
// where none runs (under Xvfb):
//   x_tool close WINDOW_ID   asks the window to close: a WM_PROTOCOLS / WM_DELETE_WINDOW client
//                            message (nothing else in Debian sends one)
//   x_tool grab              grabs the keyboard, as an Alt+Tab switcher does; prints "grabbed"
//                            and holds the grab until its standard input closes
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int close_window(Display* display, const char* id) {
    const Window window = std::strtoul(id, nullptr, 0);
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = window;
    message.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    message.xclient.format = 32;
    message.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    message.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &message);
    XSync(display, False);
    return sent != 0 ? 0 : 1;
}

int grab_keyboard(Display* display) {
    if (XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync,
                      CurrentTime) != GrabSuccess) {
        std::fprintf(stderr, "x_tool: the keyboard is grabbed already\n");
        return 1;
    }
    XSync(display, False);
    std::printf("grabbed\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0; // closing the connection ends the grab
}

} // namespace

int main(int argc, char* argv[]) {
    const bool close = argc == 3 && std::strcmp(argv[1], "close") == 0;
    const bool grab = argc == 2 && std::strcmp(argv[1], "grab") == 0;
    if (!close && !grab) {
        std::fprintf(stderr, "usage: x_tool close WINDOW_ID | x_tool grab\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "x_tool: cannot open display\n");
        return 1;
    }
    const int status = close ? close_window(display, argv[2]) : grab_keyboard(display);
    XCloseDisplay(display);
    return status;
}
