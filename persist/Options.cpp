#include "persist/Options.h"

#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "persist/ExePath.h"
#include "persist/IniFile.h"

#include <exception>
#include <string>

namespace ferrox {

std::atomic<bool> DeleteToRecycle{false};
std::atomic<bool> DisplayProgressBar{false};

void LoadOptions() {
    TTraceScope trace("LoadOptions");
    try {
        TIniReader ini = TIniReader::FromFile(ExePath() + "QOPTIONS.INI");
        DeleteToRecycle = ini.ReadBool("Options", "DeleteToRecycle", true);
        DisplayProgressBar = ini.ReadBool("Options", "DisplayProgressBar", true);
    } catch (const std::exception& e) {
        // Start-up goes on with what was read so far.
        ShowStatus(std::string("Exception Error: ") + e.what());
    }
}

} // namespace ferrox
