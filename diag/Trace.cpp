#include "diag/Trace.h"

#include <memory>
#include <mutex>

namespace ferrox {

namespace {
std::mutex traceMutex;
// Entries past traceCount are popped ones kept for their memory: pushing a name then costs
// no allocation, which matters at several pushes per copied file.
std::unique_ptr<std::vector<std::string>> traceList;
size_t traceCount = 0;

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
        if (!traceList) {
            traceList = std::make_unique<std::vector<std::string>>();
            traceCount = 0;
        }
    } catch (...) {
        // Tracing stays off.
    }
}

void TraceRelease() {
    std::lock_guard lock(traceMutex);
    traceList.reset();
    traceCount = 0;
}

void Trace(std::string_view name) {
    std::lock_guard lock(traceMutex);
    if (!traceList)
        return;
    try {
        if (!name.empty()) {
            if (traceCount < traceList->size())
                (*traceList)[traceCount].assign(name);
            else
                traceList->emplace_back(name);
            ++traceCount;
        } else if (traceCount > 0) {
            --traceCount;
        }
    } catch (...) {
        // Tracing must never fail its caller: the entry is missing from a later log.
    }
}

std::vector<std::string> TraceEntries() {
    std::lock_guard lock(traceMutex);
    if (!traceList)
        return {};
    return std::vector<std::string>(traceList->begin(),
                                    traceList->begin() + static_cast<ptrdiff_t>(traceCount));
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
