// What the web port's sessions (a page connection, then its WebSocket's handshake) know of the
// rest of the server: the page's files, whom to believe, the ledger, the Reporter and the game's
// settings.
#pragma once

#include "server/admission.h"
#include "server/reporting.h"
#include "server/trust.h"
#include "server/web_files.h"

// What a web session needs of the rest of the server; made by the Server, which outlives them.
struct WebContext {
    const WebFiles& files;
    const Trust& trust;
    Ledger& ledger;
    Reporter& reporter;
    const GameSettings& game;
};
