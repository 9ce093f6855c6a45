#include "persist/Options.h"

#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "persist/ExePath.h"
#include "persist/IniFile.h"

#include <cctype>
#include <charconv>
#include <exception>
#include <optional>
#include <string>

namespace ferrox {

std::optional<int> WorkersByName(std::string_view text) {
    std::string word;
    for (char c : text)
        if (c != ' ' && c != '\t')
            word += char(std::tolower(static_cast<unsigned char>(c)));
    if (word == "auto")
        return 0;
    int n = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), n);
    if (error != std::errc() || end != word.data() + word.size() || n < 1 || n > MaxWorkers)
        return std::nullopt;
    return n;
}

TOptions LoadOptions(TStatusLine& status) {
    TTraceScope trace("LoadOptions");
    // The defaults hold until the file says otherwise: a file that cannot be read must not
    // turn the trash off and have moved sources deleted for good.
    TOptions options;
    try {
        TIniReader ini = TIniReader::FromFile(ExePath() + "QOPTIONS.INI");
        options.DeleteToRecycle = ini.ReadBool("Options", "DeleteToRecycle", true);
        options.DisplayProgressBar = ini.ReadBool("Options", "DisplayProgressBar", true);
        options.VerifyCopies = ini.ReadBool("Options", "VerifyCopies", false);
        const std::string existing = ini.ReadString("Options", "ExistingTargets", "");
        if (!existing.empty()) {
            if (std::optional<TExistingTargets> policy = ExistingTargetsByName(existing))
                options.ExistingTargets = *policy;
            else
                status.Show("Unknown ExistingTargets=" + existing + " in QOPTIONS.INI, " +
                            ExistingTargetsName(options.ExistingTargets) + " is used");
        }
        const std::string workers = ini.ReadString("Options", "Workers", "");
        if (!workers.empty()) {
            if (std::optional<int> n = WorkersByName(workers))
                options.Workers = *n;
            else
                status.Show("Unknown Workers=" + workers + " in QOPTIONS.INI, auto is used");
        }
    } catch (const std::exception& e) {
        // Start-up goes on with the defaults; the message says which file and why.
        status.Show(std::string("Exception Error: ") + e.what());
        return TOptions{};
    }
    return options;
}

} // namespace ferrox
