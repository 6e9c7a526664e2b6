// The program's start-up, mining run and exit statuses; main() only calls this.
#pragma once

namespace qvn {

// Sets the process-wide stop request; the only thing the handler does.
extern "C" void on_signal(int signal_number);

int run_qvncpu(int argc, char** argv);

}  // namespace qvn
