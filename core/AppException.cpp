#include "core/AppException.h"

#include "diag/ErrorLog.h"
#include "diag/Trace.h"

#include <string>

namespace ferrox {

void AppException(std::string_view message) {
    try {
        LogError("An Exception occurred, please the email developer the log file [" +
                 std::string(message) + "]");
        LogError("Trace is : ");
        LogError(TraceText());
    } catch (...) {
        // The handler of last resort must not throw itself.
    }
}

void AppExceptionOfCurrent() {
    try {
        throw;
    } catch (const std::exception& e) {
        AppException(e.what());
    } catch (...) {
        AppException("unknown exception");
    }
}

} // namespace ferrox
