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
    // The defaults hold until the file says otherwise: a file that cannot be read must not
    // turn the trash off and have moved sources deleted for good.
    DeleteToRecycle = true;
    DisplayProgressBar = true;
    try {
        TIniReader ini = TIniReader::FromFile(ExePath() + "QOPTIONS.INI");
        DeleteToRecycle = ini.ReadBool("Options", "DeleteToRecycle", true);
        DisplayProgressBar = ini.ReadBool("Options", "DisplayProgressBar", true);
    } catch (const std::exception& e) {
        // Start-up goes on with the defaults; the message says which file and why.
        ShowStatus(std::string("Exception Error: ") + e.what());
    }
}

} // namespace ferrox
