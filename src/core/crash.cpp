#include "core/crash.hpp"

#include <windows.h>

namespace qorn {
namespace {

// Runs on the crashed thread, possibly on the little stack an overflow leaves: it
// does nothing but end the process.
LONG WINAPI end_with_exception_code(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void end_process_on_crash() noexcept { SetUnhandledExceptionFilter(end_with_exception_code); }

}  // namespace qorn
