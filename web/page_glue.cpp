#include "page_glue.h"

#include "app/startup.h"
#include "net/link.h"

#include <emscripten.h>

bool page_closing = false;

// Closing the tab ends the page before the frame loop gets another pass, so the goodbye cannot
// wait for the loop's end: the page's pagehide handler calls this, and the goodbye leaves at once
// through the same send as at the end of main. The page never lets the program run on after it
// (a page brought back from the browser's cache is loaded afresh), so main's own goodbye never
// follows this one.
extern "C" EMSCRIPTEN_KEEPALIVE void brackenreach_page_closing() {
    if (page_closing) {
        return;
    }
    page_closing = true;
    quit_signalled = 1;
    send_message("exit");
}
