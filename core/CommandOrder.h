#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/FaceRelay.h"

namespace ferrox {

// The order of what changes the queue, kept on the face's thread. A command runs at once
// when nothing else is under way, else after what is, in the order the commands came, each
// whole. The queue file's long work (a save or load of a whole queue) takes its turn on a
// thread of its own ("ferrox-queue"), so the face's thread stays free meanwhile; the
// commands that come then wait for it, and so never see half a queue or save one.
//
// The work tells the face's thread that it is done, or wants the please-wait box, through
// the relay's RunOnFaceThread; a face without an event loop calls Wait instead.
class TCommandOrder {
public:
    explicit TCommandOrder(TFaceRelay& relay) : relay_(relay) {}
    ~TCommandOrder() { Stop(); }
    TCommandOrder(const TCommandOrder&) = delete;
    TCommandOrder& operator=(const TCommandOrder&) = delete;

    // Runs the command now, or after the commands and the work before it. A command that
    // asks for another one has that one run after it, not inside it.
    void Run(std::function<void()> command);
    // Inside a command: `work` runs on the queue file's thread and holds the turn until it
    // is done; then `done` runs on the face's thread, and the commands waiting after it.
    void RunOffThread(std::function<void()> work, std::function<void()> done);
    // From the work: the please-wait box is to be shown (true) or hidden.
    void PleaseWait(bool shown);
    // Returns when no work is under way (what it was to do when done is done, and so are
    // the commands that waited for it): for a face without an event loop, and start-up.
    void Wait();
    // The face closes: the commands waiting, and what the work under way was to do when
    // done, are dropped; the work itself goes on to its end.
    void DropWaiting();
    // Waits for the work under way, then as DropWaiting; the order can be used again.
    void Stop();

    // What a command threw is reported with this (inside the catch), and the next runs.
    std::function<void()> OnException;

private:
    // On the face's thread: shows or hides the box as the work wants; ends the work's turn
    // when it is done.
    void Look();
    void Finish();
    void Drain();
    void RunGuarded(const std::function<void()>& command);

    TFaceRelay& relay_;
    // The face's thread only.
    std::deque<std::function<void()>> waiting_;
    bool commandRunning_ = false;
    bool workUnderWay_ = false;
    bool boxShown_ = false;
    std::function<void()> done_;
    std::thread worker_;
    // Lets a look posted to the face's thread find out that the order is gone.
    std::shared_ptr<char> alive_ = std::make_shared<char>();

    // Shared with the work's thread.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool workDone_ = false;
    bool wantBox_ = false;
    bool boxAsked_ = false; // shown since the last look, maybe hidden again already
    bool boxChanged_ = false;
};

} // namespace ferrox
