#include "cli/StopSignals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

std::atomic<bool> requested{false};
std::atomic<const char*> notice{""};

void onStopSignal(int) {
    requested = true;
    const char* text = notice.load();
    ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

} // namespace

std::atomic<bool>& stopRequested() { return requested; }

void catchStopSignals(const char* text) {
    notice = text;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND; // a second signal ends the process at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
