#pragma once
#include <memory>
#include <string>

namespace ferrox {

// Keeps the system from suspending while a run goes on: logind's sleep lock on the system
// bus where there is one, else the desktop's own inhibitor on the session bus
// (org.freedesktop.PowerManagement on KDE and Xfce, org.gnome.SessionManager on GNOME).
// Without a bus or an inhibitor it does nothing and says so by HeldBy() staying empty.
// Used on one thread; its header carries nothing of Qt, so a face without Qt types (ferrox-run)
// holds one as it is.
class TSleepInhibitor {
public:
    // The buses of this login (DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS apply).
    TSleepInhibitor();
    // Buses by address; an empty one is left out.
    TSleepInhibitor(const std::string& systemBusAddress, const std::string& sessionBusAddress);
    ~TSleepInhibitor();
    TSleepInhibitor(const TSleepInhibitor&) = delete;
    TSleepInhibitor& operator=(const TSleepInhibitor&) = delete;

    // Asks for the lock with the reason the system shows; true when it is held (it was
    // already, or now). Each bus is asked at most once per call, never for long; after a
    // call that found no inhibitor, none is asked again until Release.
    bool Hold(const std::string& why);
    // Lets the system suspend again.
    void Release();
    // "logind", "PowerManagement" or "GNOME": who holds the lock; empty when none does.
    std::string HeldBy() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

} // namespace ferrox
