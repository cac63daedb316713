// What the game learns from the X server beyond what SDL tells it: whether another program has
// taken the keyboard from the window, and whether the display has gone away.
//
// A window manager's Alt+Tab switcher grabs the keyboard; a key let go meanwhile goes to the
// switcher, and SDL 1.2 and SDL 2 both ignore the focus change a grab brings, so SDL keeps such a
// key down until the switcher ends.
#pragma once

// Starts watching the window SDL_SetVideoMode opened; does nothing where it is not an X11 one.
void watch_display();

// True while another client's grab holds the keyboard away from the window. Takes in what the
// display has reported since the last call; never waits.
bool keyboard_grabbed_elsewhere();

// True once the connection to the X server has failed: the process is on its way out (Xlib
// exits), and SDL can no longer be shut down through that connection.
bool display_lost();
