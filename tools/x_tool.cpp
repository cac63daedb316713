// Desktop helper for the demo run and the end-to-end tests: asks a window to close the way a window
// manager does, with a WM_PROTOCOLS / WM_DELETE_WINDOW client message (nothing else in Debian sends
// one).
//   x_tool close WINDOW_ID
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
    if (argc != 3 || std::strcmp(argv[1], "close") != 0) {
        std::fprintf(stderr, "usage: x_tool close WINDOW_ID\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "x_tool: cannot open display\n");
        return 1;
    }
    const Window window = std::strtoul(argv[2], nullptr, 0);
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = window;
    message.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    message.xclient.format = 32;
    message.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    message.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &message);
    XSync(display, False);
    XCloseDisplay(display);
    return sent != 0 ? 0 : 1;
}
