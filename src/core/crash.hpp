// A crash (an access violation, a stack overflow) must never look like success to
// whoever reads the exit code: under Wine a crashed process may even end with 0
// once the debugger is done with it. Called once at start-up, on the first thread.
#pragma once

namespace qorn {

// From now on an exception nothing handles ends the process at once, with the
// exception's code as its exit code.
void end_process_on_crash() noexcept;

}  // namespace qorn
