// The window's end of `ferrox PATH...` without a window: real sockets, the server driven
// by a loop of our own as the window's event loop drives it.
#include "core/instance/SingleInstance.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace {

struct TInstanceServerTest : ::testing::Test {
    TTempDir dir;
    std::vector<std::pair<TQueueRequest, TAnswerRequest>> applied; // answered by the test
    std::unique_ptr<TInstanceServer> server;

    void SetUp() override {
        TInstanceClaim claim = ClaimInstance(InstancePlacesIn(dir.Path()));
        ASSERT_EQ(claim.Kind, TInstanceClaim::Listening);
        TInstanceHandlers handlers;
        handlers.Apply = [this](const TQueueRequest& request, TAnswerRequest answer) {
            applied.emplace_back(request, std::move(answer));
        };
        server = std::make_unique<TInstanceServer>(std::move(claim.Listener), handlers);
    }
    // Serves as an event loop does until `done`, a minute at most.
    void ServeUntil(const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!done() && std::chrono::steady_clock::now() < until) {
            pollfd due{server->Fd(), POLLIN, 0};
            if (::poll(&due, 1, 100) == 1)
                server->Serve();
        }
        ASSERT_TRUE(done());
    }
    // A `ferrox` command on a thread of its own: it waits for its answer.
    std::thread Command(const std::string& path, THandOverResult& result) {
        TInstanceClaim claim = ClaimInstance(InstancePlacesIn(dir.Path()));
        EXPECT_EQ(claim.Kind, TInstanceClaim::Connected);
        return std::thread([this, connection = std::move(claim.Connection), path,
                            &result]() mutable {
            result = HandOver(std::move(connection), {{path}}, InstancePlacesIn(dir.Path()).Socket);
        });
    }
};

// Requests applied later (after a queue load, say) and answered out of order: each answer
// reaches its own caller, once.
TEST_F(TInstanceServerTest, AnswersGivenLaterReachTheirOwnCallers) {
    THandOverResult first, second;
    std::thread a = Command("/first", first);
    ServeUntil([&] { return applied.size() == 1; });
    std::thread b = Command("/second", second);
    ServeUntil([&] { return applied.size() == 2; });
    EXPECT_EQ(applied[0].first.Paths, std::vector<std::string>{"/first"});
    applied[1].second({true, "note for the second"});
    applied[0].second({false, "refused, the first"});
    applied[0].second({true, "a second answer goes nowhere"});
    a.join();
    b.join();
    EXPECT_EQ(first.ExitStatus, 1);
    EXPECT_EQ(first.Message, "refused, the first");
    EXPECT_EQ(second.ExitStatus, 0);
    EXPECT_EQ(second.Message, "note for the second");
}

// A caller that hangs up while its request is being applied wakes nobody meanwhile (no
// loop spinning on it), and its answer, given then or after the server has gone, is lost
// without harm.
TEST_F(TInstanceServerTest, ACallerGoneBeforeItsAnswerCostsNothing) {
    for (bool serverGone : {false, true}) {
        SCOPED_TRACE(serverGone);
        TInstanceClaim caller = ClaimInstance(InstancePlacesIn(dir.Path()));
        ASSERT_EQ(caller.Kind, TInstanceClaim::Connected);
        ASSERT_EQ(SendAll(caller.Connection.Get(), EncodeRequest({{"/gone"}})), 0);
        ServeUntil([&] { return !applied.empty(); });
        caller.Connection.Reset();
        pollfd due{server->Fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&due, 1, 200), 0);
        if (serverGone)
            server.reset();
        applied.back().second({true, ""});
        applied.clear();
    }
}

} // namespace
