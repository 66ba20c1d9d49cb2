// The entry function of the program: parses the command line, prepares the process, assembles the
// run, supervises it until SIGINT or SIGTERM (or until every GPU is lost) and stops it in order.
// Called once, on the main thread.
#pragma once

#include <atomic>

namespace tavo {

// Set by the stop-signal handler, never cleared.
extern std::atomic<bool> stop_requested;

void handle_stop_signal(int signal_number);

// Returns the process exit status.
int run_program(int argc, const char* const* argv);

}  // namespace tavo
