#pragma once
#include <QDBusConnection>
#include <QObject>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/FaceSinks.h"
#include "desktop/DesktopNotifier.h"
#include "desktop/LauncherEntry.h"
#include "desktop/SleepInhibitor.h"
#include "ui/modMain/WindowBridges.h"

namespace ferrox {

// What the desktop around the window learns of a run: its share in the task bar, no
// suspend while it copies, and a notification when a long one ends while the user looks
// elsewhere. Each part does nothing where the desktop lacks its service.
class TDesktopPresence {
public:
    // A run shorter than this ends without a notification: the user has hardly turned away.
    static constexpr std::chrono::seconds NotifyAfter{10};
    // The window's desktop entry, which names the program to the task bar and the server.
    static constexpr const char* DesktopId = "org.ferrox.Ferrox";

    struct TWindow {
        std::function<bool()> Active;                               // the window is the active one
        std::function<void()> Raise;                                // brings it to the front
        std::function<std::chrono::steady_clock::time_point()> Now; // empty: the clock
    };
    TDesktopPresence(TWindow window, QDBusConnection sessionBus,
                     std::unique_ptr<TSleepInhibitor> inhibitor);
    ~TDesktopPresence();

    // Any thread: an event of the run, with its words.
    void RunEvent(const TRunEvent& event, const TEventWords& words);
    // The window's thread: the run's figures, or none once it is over.
    void ShowFigures(const std::optional<TRunFigures>& figures);

    const TLauncherEntry& Launcher() const { return launcher_; }

private:
    std::chrono::steady_clock::time_point Now() const;
    void Apply();
    // The inhibitor's own thread: a bus that is slow to answer (an activation that never
    // comes, in a container without systemd) must not stop the window.
    void KeepAwake(bool awake);
    void InhibitorThread();

    TWindow window_;
    std::unique_ptr<TSleepInhibitor> inhibitor_; // used on its thread only
    std::mutex inhibitMutex_;
    std::condition_variable inhibitWake_;
    bool awakeWanted_ = false;
    bool inhibitStop_ = false;
    std::thread inhibitThread_;
    TLauncherEntry launcher_;
    TDesktopNotifier notifier_;
    std::mutex mutex_;
    TRunPhase phase_ = TRunPhase::Idle;
    std::chrono::steady_clock::time_point started_;
    std::optional<std::string> longRunEnded_; // the end's words, when it lasted long
    TCoalescedCall call_;
};

} // namespace ferrox
