// SPDX-License-Identifier: MIT
#include "ends.h"

#include "lines.h"
#include "modem.h"

namespace {

const int END_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// Output still queued for the device is dropped first: a real port's last
// close otherwise waits for it up to its closing delay, holding the lock.
// What fails (a terminal the kernel has hung up) is passed over.  Run
// twice, it applies the same settings again.
extern "C" void end_handler(int sig)
{
    int device = MODEMFD >= 0 ? MODEMFD : LINEFD;
    if (device >= 0) {
        flush_output(device);
        restore_port(device);
    }
    restore_stdin();
    restore_stdout();
    (void)signal(sig, SIG_DFL);
    (void)raise(sig); // taken, by its default action, once this returns
}

} // namespace

void catch_end_signals()
{
    struct sigaction action = {};
    action.sa_handler = end_handler;
    sigemptyset(&action.sa_mask);
    for (int sig : END_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    for (int sig : END_SIGNALS)
        sigaction(sig, &action, nullptr);
}

sigset_t block_end_signals()
{
    sigset_t ends, old;
    sigemptyset(&ends);
    for (int sig : END_SIGNALS)
        sigaddset(&ends, sig);
    sigprocmask(SIG_BLOCK, &ends, &old);
    return old;
}
