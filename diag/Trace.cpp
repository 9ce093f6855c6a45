#include "diag/Trace.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace ferrox {

namespace {
// A push or a pop holds the lock for a few instructions, several times a copied file: a
// flag taken by exchange and given back by a store costs a fraction of a mutex's lock and
// unlock. A thread that finds it taken lets others run, in case its holder was preempted.
class TTraceLock {
public:
    void lock() {
        while (taken_.exchange(true, std::memory_order_acquire))
            while (taken_.load(std::memory_order_relaxed))
                std::this_thread::yield();
    }
    void unlock() { taken_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> taken_{false};
};

TTraceLock traceLock;
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
    std::lock_guard lock(traceLock);
    try {
        if (!traceList)
            traceList = std::make_unique<std::vector<std::string_view>>();
    } catch (...) {
        // Tracing stays off.
    }
}

void TraceRelease() {
    std::lock_guard lock(traceLock);
    traceList.reset();
}

void Trace(const char* name) {
    std::lock_guard lock(traceLock);
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
    std::lock_guard lock(traceLock);
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
