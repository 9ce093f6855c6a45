#include "engine/RunPhase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ferrox;

namespace {

struct TStep {
    const char* Verb;
    bool Changes;
};

bool Apply(TRunPhaseMachine& m, const std::string& verb) {
    if (verb == "start")
        return m.Start();
    if (verb == "pause")
        return m.Pause();
    if (verb == "resume")
        return m.Resume();
    if (verb == "abort")
        return m.Abort();
    if (verb == "gate")
        return m.ReachedGate();
    if (verb == "ending")
        return m.Ending();
    m.Ended();
    return true;
}

} // namespace

// Every verb in every phase: which change the phase (and are told once), which leave it as
// it is, and whether the user's Pause still stands for the buttons.
TEST(RunPhase, TransitionsFollowTheTableAndAreToldOnce) {
    struct TCase {
        std::vector<TStep> Steps;
        TRunPhase Phase;
        bool Held;
    };
    using P = TRunPhase;
    const std::vector<TCase> cases = {
        {{{"pause", false},
          {"resume", false},
          {"abort", false},
          {"gate", false},
          {"ending", false}},
         P::Idle,
         false},
        {{{"start", true}, {"start", false}, {"resume", false}, {"gate", false}},
         P::Running,
         false},
        {{{"start", true}, {"pause", true}, {"pause", false}}, P::Pausing, true},
        {{{"start", true}, {"pause", true}, {"gate", true}, {"gate", false}}, P::Paused, true},
        {{{"start", true}, {"pause", true}, {"gate", true}, {"resume", true}}, P::Running, false},
        {{{"start", true}, {"pause", true}, {"resume", true}, {"gate", false}}, P::Running, false},
        {{{"start", true}, {"abort", true}, {"pause", false}, {"resume", false}, {"ending", false}},
         P::Aborting,
         false},
        // Aborted or ended while paused: the buttons keep offering Resume to the end.
        {{{"start", true}, {"pause", true}, {"gate", true}, {"abort", true}}, P::Aborting, true},
        {{{"start", true}, {"pause", true}, {"ending", true}, {"pause", false}}, P::Ending, true},
        {{{"start", true}, {"ending", true}, {"pause", false}, {"abort", true}},
         P::Aborting,
         false},
        {{{"start", true}, {"pause", true}, {"gate", true}, {"abort", true}, {"ended", true}},
         P::Idle,
         false},
        {{{"start", true}, {"ended", true}, {"start", true}}, P::Running, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        int told = 0;
        TRunPhaseMachine machine([&](const TRunPhaseView&) { ++told; });
        int changes = 0;
        std::string path;
        for (const TStep& step : cases[i].Steps) {
            path += std::string(" ") + step.Verb;
            EXPECT_EQ(Apply(machine, step.Verb), step.Changes) << "case " << i << ":" << path;
            changes += step.Changes;
        }
        EXPECT_EQ(machine.View(), (TRunPhaseView{cases[i].Phase, cases[i].Held}))
            << "case " << i << ":" << path;
        EXPECT_EQ(told, changes) << "case " << i << ":" << path;
    }
}
