// The request to stop: SIGTERM (kill, systemctl stop, logging out), SIGINT
// (Ctrl-C) and SIGHUP (the terminal went away).
#pragma once

namespace desktop {

// From now on each of those signals sets stop_requested and ends the wait in
// progress at once, so the loop stops at the top of its next pass.
void install_stop_control();

}  // namespace desktop
