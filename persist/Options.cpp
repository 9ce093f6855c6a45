#include "persist/Options.h"

#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "persist/ExePath.h"
#include "persist/IniFile.h"

#include <exception>
#include <string>

namespace ferrox {

TOptions LoadOptions(TStatusLine& status) {
    TTraceScope trace("LoadOptions");
    // The defaults hold until the file says otherwise: a file that cannot be read must not
    // turn the trash off and have moved sources deleted for good.
    TOptions options;
    try {
        TIniReader ini = TIniReader::FromFile(ExePath() + "QOPTIONS.INI");
        options.DeleteToRecycle = ini.ReadBool("Options", "DeleteToRecycle", true);
        options.DisplayProgressBar = ini.ReadBool("Options", "DisplayProgressBar", true);
    } catch (const std::exception& e) {
        // Start-up goes on with the defaults; the message says which file and why.
        status.Show(std::string("Exception Error: ") + e.what());
        return TOptions{};
    }
    return options;
}

} // namespace ferrox
