#include "diag/Trace.h"

#include <memory>
#include <mutex>
#include <string_view>

namespace ferrox {

namespace {
std::mutex traceMutex;
// The names are literals: kept by reference, so a push copies no text and, once the
// vector has grown, allocates nothing (several pushes a copied file).
std::unique_ptr<std::vector<std::string_view>> traceList;

bool NeedsQuotes(const std::string& s) {
    for (unsigned char c : s)
        if (c == ' ' || c == ',' || c == '"' || c < 0x20 || c == 0x7f)
            return true;
    return false;
}
} // namespace

void TraceCreate() {
    std::lock_guard lock(traceMutex);
    try {
        if (!traceList)
            traceList = std::make_unique<std::vector<std::string_view>>();
    } catch (...) {
        // Tracing stays off.
    }
}

void TraceRelease() {
    std::lock_guard lock(traceMutex);
    traceList.reset();
}

void Trace(const char* name) {
    std::lock_guard lock(traceMutex);
    if (!traceList)
        return;
    try {
        if (name && *name)
            traceList->push_back(name);
        else if (!traceList->empty())
            traceList->pop_back();
    } catch (...) {
        // Tracing must never fail its caller: the entry is missing from a later log.
    }
}

std::vector<std::string> TraceEntries() {
    std::lock_guard lock(traceMutex);
    if (!traceList)
        return {};
    return std::vector<std::string>(traceList->begin(), traceList->end());
}

std::string TraceText() {
    std::string out;
    bool first = true;
    for (const std::string& entry : TraceEntries()) {
        if (!first)
            out += ',';
        first = false;
        if (entry.empty() || NeedsQuotes(entry)) {
            // An empty entry is quoted too, so a list of one empty name reads "".
            out += '"';
            for (char c : entry) {
                if (c == '"')
                    out += '"';
                out += c;
            }
            out += '"';
        } else {
            out += entry;
        }
    }
    return out;
}

} // namespace ferrox
