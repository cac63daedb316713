// The JavaScript functions of web/library_brackenreach.js, as C sees them.
#pragma once

extern "C" {
int brackenreach_websocket_state(int fd, int* buffered);
int brackenreach_websocket_settle(int fd, int limit_ms);
// Shows the frame drawn since the last call, unless it is the one the canvas shows already.
void brackenreach_present();
// Hands the page the screen_scale setting (0: auto); the page enlarges the canvas by CSS.
void brackenreach_scale_page(int scale);
}
