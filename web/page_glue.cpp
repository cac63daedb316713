#include "page_glue.h"

#include "app/startup.h"
#include "net/link.h"

#include <emscripten.h>

bool page_closing = false;

// Closing the tab ends the page before the frame loop gets another pass, so the goodbye cannot
// wait for the loop's end: the page's pagehide handler calls this, and the goodbye leaves at once
// through the same send as at the end of main. The browser may still run a pass or two before
// the page is gone, which would put updates after the goodbye; so the connection then ends here,
// as the end of a desktop process ends it, and the link, ended, sends nothing more and tries no
// server again.
// The WebSocket's close follows whatever it still holds, the goodbye included.
extern "C" EMSCRIPTEN_KEEPALIVE void brackenreach_page_closing() {
    if (page_closing) {
        return;
    }
    page_closing = true;
    quit_signalled = 1;
    send_message("exit");
    end_link();
}
