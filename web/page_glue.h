// The program's side of the page (index.html, page.js): what the page tells it.
#pragma once

// True once the page is closing (set by brackenreach_page_closing, never cleared): the browser
// will not run us again after the page's handler returns, so nothing may wait for it then.
extern bool page_closing;
