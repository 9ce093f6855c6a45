#pragma once
#include <string_view>

#include "diag/StatusLine.h"

namespace ferrox {

// What happens to an exception that nothing else caught on the window's thread: three
// lines in the error log (the message, "Trace is : ", the trace as it stands), each shown
// on the status line, and the program goes on. The trace is left as it is, so the last
// line names the operations the exception left.
void AppException(TStatusLine& status, std::string_view message);
// The same for the exception being handled; called inside a catch block.
void AppExceptionOfCurrent(TStatusLine& status);

} // namespace ferrox
