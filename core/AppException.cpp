#include "core/AppException.h"

#include "diag/ErrorLog.h"
#include "diag/Trace.h"

#include <string>

namespace ferrox {

void AppException(TStatusLine& status, std::string_view message) {
    try {
        LogError(status, "An Exception occurred, please the email developer the log file [" +
                             std::string(message) + "]");
        LogError(status, "Trace is : ");
        LogError(status, TraceText());
    } catch (...) {
        // The handler of last resort must not throw itself.
    }
}

void AppExceptionOfCurrent(TStatusLine& status) {
    try {
        throw;
    } catch (const std::exception& e) {
        AppException(status, e.what());
    } catch (...) {
        AppException(status, "unknown exception");
    }
}

} // namespace ferrox
