// SPDX-License-Identifier: MIT
// The signals that end the program from outside: SIGTERM (a service
// manager, timeout), SIGHUP (the session's end), SIGINT and SIGQUIT (the
// keys, with the output redirected).  Once the terminals' settings are
// saved they are caught: the handler puts back what its process holds (the
// device, the keyboard and the screen) and ends the process by the same
// signal, so that the shell or the service manager still sees it.
#pragma once

#include <csignal>

void catch_end_signals();

// Blocks those signals while what their handler puts back changes, and
// before it is in place; returns the mask to put back afterwards.
sigset_t block_end_signals();
