// Desktop helper for the demo run and the end-to-end tests, doing what a window manager does
// where none runs (under Xvfb):
//   x_tool close WINDOW_ID   asks the window to close: a WM_PROTOCOLS / WM_DELETE_WINDOW client
//                            message (nothing else in Debian sends one)
//   x_tool grab              grabs the keyboard, as an Alt+Tab switcher does; prints "grabbed"
//                            and holds the grab until its standard input closes
//   x_tool cover WINDOW_ID   lays a magenta window over the window and takes it away again, as
//                            another program's window passing over it does; the window is told to
//                            repaint (Expose), and whatever it does not repaint stays magenta
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

int cover_window(Display* display, const char* id) {
    const Window window = std::strtoul(id, nullptr, 0);
    XWindowAttributes where{};
    Window child = 0;
    int x = 0;
    int y = 0;
    if (XGetWindowAttributes(display, window, &where) == 0 ||
        XTranslateCoordinates(display, window, where.root, 0, 0, &x, &y, &child) == 0) {
        std::fprintf(stderr, "x_tool: no window %s\n", id);
        return 1;
    }
    const int screen = DefaultScreen(display);
    XColor magenta{};
    Colormap colours = DefaultColormap(display, screen);
    if (XAllocNamedColor(display, colours, "magenta", &magenta, &magenta) == 0) {
        magenta.pixel = WhitePixel(display, screen);
    }
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True; // placed exactly, whatever window manager runs
    attributes.background_pixel = magenta.pixel;
    const Window cover =
        XCreateWindow(display, where.root, x, y, static_cast<unsigned>(where.width),
                      static_cast<unsigned>(where.height), 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display, cover);
    XSync(display, False);
    XDestroyWindow(display, cover);
    XSync(display, False);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    const bool close = argc == 3 && std::strcmp(argv[1], "close") == 0;
    const bool grab = argc == 2 && std::strcmp(argv[1], "grab") == 0;
    const bool cover = argc == 3 && std::strcmp(argv[1], "cover") == 0;
    if (!close && !grab && !cover) {
        std::fprintf(stderr,
                     "usage: x_tool close WINDOW_ID | x_tool grab | x_tool cover WINDOW_ID\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "x_tool: cannot open display\n");
        return 1;
    }
    int status = 0;
    if (close) {
        status = close_window(display, argv[2]);
    } else if (cover) {
        status = cover_window(display, argv[2]);
    } else {
        status = grab_keyboard(display);
    }
    XCloseDisplay(display);
    return status;
}
