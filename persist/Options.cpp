#include "persist/Options.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "persist/IniFile.h"
#include "platform/SettingsDir.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace ferrox {

namespace {

constexpr const char* SwitchWords = "1 or 0, yes or no, true or false, on or off";

std::string Lower(std::string_view text) {
    std::string word;
    for (char c : text)
        word += char(std::tolower(static_cast<unsigned char>(c)));
    return word;
}

// The file's options, read one key at a time; what means nothing is noted as it goes.
class TOptionReader {
public:
    TOptionReader(const TIniReader& ini, TOptions& options) : ini_(ini), options_(options) {}

    // A switch; `safest` is what a value that means nothing gives when the switch decides
    // what happens to files, none when it does not (the default is used then).
    bool Switch(const char* key, bool def, std::optional<bool> safest = std::nullopt) {
        const std::string value = Value(key);
        if (value.empty())
            return def;
        if (std::optional<bool> on = SwitchByName(value))
            return *on;
        const bool used = safest.value_or(def);
        Unknown(key, value, used ? "1" : "0", SwitchWords, safest.has_value());
        return used;
    }

    TExistingTargets ExistingTargets(const char* key) {
        const std::string value = Value(key);
        if (value.empty())
            return TExistingTargets::Overwrite;
        if (std::optional<TExistingTargets> policy = ExistingTargetsByName(value))
            return *policy;
        // The one choice that writes nothing over anything.
        constexpr TExistingTargets safest = TExistingTargets::Skip;
        Unknown(key, value, ExistingTargetsName(safest), "Overwrite, Skip, Newer or KeepBoth",
                true);
        return safest;
    }

    int Workers(const char* key) {
        const std::string value = Value(key);
        if (value.empty())
            return 0;
        if (std::optional<int> n = WorkersByName(value))
            return *n;
        Unknown(key, value, "auto", "auto or 1 to " + std::to_string(MaxWorkers), false);
        return 0;
    }

    int64_t SpeedLimit(const char* key) {
        const std::string value = Value(key);
        if (value.empty())
            return 0;
        if (std::optional<int64_t> rate = SpeedLimitByName(value))
            return *rate;
        Unknown(key, value, "0", "bytes a second, with K, M or G (0: no limit)", false);
        return 0;
    }

private:
    std::string Value(const char* key) const { return ini_.ReadString("Options", key, ""); }
    void Unknown(const char* key, const std::string& value, std::string used, std::string takes,
                 bool safety) {
        options_.Unknown.push_back({key, value, std::move(used), std::move(takes), safety});
    }

    const TIniReader& ini_;
    TOptions& options_;
};

// What a start-up uses when the file cannot be read: nothing the user may have asked for
// is weakened.
TOptions SafestOptions() {
    TOptions options;
    options.ExistingTargets = TExistingTargets::Skip;
    options.VerifyCopies = true;
    return options;
}

} // namespace

std::optional<bool> SwitchByName(std::string_view text) {
    if (std::optional<long long> n = ParseIniInteger(text))
        return *n != 0;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    const std::string word = Lower(text);
    if (word == "yes" || word == "true" || word == "on")
        return true;
    if (word == "no" || word == "false" || word == "off")
        return false;
    return std::nullopt;
}

std::optional<int> WorkersByName(std::string_view text) {
    std::string word;
    for (char c : Lower(text))
        if (c != ' ' && c != '\t')
            word += c;
    if (word == "auto")
        return 0;
    int n = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), n);
    if (error != std::errc() || end != word.data() + word.size() || n < 1 || n > MaxWorkers)
        return std::nullopt;
    return n;
}

std::optional<int64_t> SpeedLimitByName(std::string_view text) {
    std::string word;
    for (char c : Lower(text))
        if (c != ' ' && c != '\t')
            word += c;
    int64_t n = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), n);
    if (error != std::errc() || end == word.data() || n < 0)
        return std::nullopt;
    std::string_view unit(end, size_t(word.data() + word.size() - end));
    int shift = 0;
    if (!unit.empty()) {
        const size_t at = std::string_view("kmg").find(unit.front());
        if (at == std::string_view::npos)
            return std::nullopt;
        shift = 10 * int(at + 1);
        unit.remove_prefix(1);
        if (unit != "" && unit != "i" && unit != "ib")
            return std::nullopt;
    }
    if (n > (INT64_MAX >> shift))
        return std::nullopt;
    return n << shift;
}

TOptions ReadOptions(const TOptionOverrides& overrides) {
    const TIniReader ini = TIniReader::FromFile(SettingsDir() + "QOPTIONS.INI");
    TOptions options;
    TOptionReader read(ini, options);
    options.DeleteToRecycle = read.Switch("DeleteToRecycle", true, true);
    options.DisplayProgressBar = read.Switch("DisplayProgressBar", true);
    options.ExistingTargets = overrides.ExistingTargets ? *overrides.ExistingTargets
                                                        : read.ExistingTargets("ExistingTargets");
    options.VerifyCopies =
        overrides.VerifyCopies ? *overrides.VerifyCopies : read.Switch("VerifyCopies", false, true);
    options.Workers = overrides.Workers ? *overrides.Workers : read.Workers("Workers");
    options.SpeedLimit =
        overrides.SpeedLimit ? *overrides.SpeedLimit : read.SpeedLimit("SpeedLimit");
    return options;
}

TOptions LoadOptions(TStatusLine& status, const TOptionOverrides& overrides) {
    TTraceScope trace("LoadOptions");
    try {
        return ReadOptions(overrides);
    } catch (const std::exception& e) {
        // Start-up goes on; the message says which file and why.
        status.Show(std::string("Exception Error: ") + e.what());
    }
    TOptions options = SafestOptions();
    if (overrides.ExistingTargets)
        options.ExistingTargets = *overrides.ExistingTargets;
    if (overrides.VerifyCopies)
        options.VerifyCopies = *overrides.VerifyCopies;
    if (overrides.Workers)
        options.Workers = *overrides.Workers;
    if (overrides.SpeedLimit)
        options.SpeedLimit = *overrides.SpeedLimit;
    return options;
}

void TellUnknownOptions(TStatusLine& status, const TOptions& options) {
    for (const TUnknownOption& u : options.Unknown) {
        const std::string text =
            "Unknown " + u.Key + "=" + u.Value + " in QOPTIONS.INI, " + u.Used + " is used";
        if (u.Safety)
            LogError(status, text + " (the safest)");
        else
            status.Show(text);
    }
}

} // namespace ferrox
