#include "EngineFixture.h"

#include <random>

using namespace ferrox;
using namespace ferrox::test;

// Real copies on the worker while the window's thread deletes, clears, resets and adds
// lines, pauses and resumes. Nothing may race (TSan), touch freed memory (ASan) or take a
// line in progress away; every run ends idle.
TEST_F(TEngineTest, RunAgainstListCommands) {
    for (int d = 0; d < 20; ++d) {
        std::string sub = P("src" + std::to_string(d));
        MakeDir(sub);
        for (int f = 0; f < 20; ++f)
            WriteFile(sub + "/f" + std::to_string(f), std::string(size_t(100 * f), 'x'));
        AddPair(sub, P("out"), true);
        WriteFile(P("file" + std::to_string(d)), "data");
        AddPair(P("file" + std::to_string(d)), P("out"));
    }
    std::mt19937 rng(7);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (!run.CopyRunning) {
            if (control.CopyWorker())
                control.CopyWorker()->WaitFor();
            for (PVirtualNode n = q.lstCopyFrom.FirstNode(); n; n = q.lstCopyFrom.NextNode(n))
                q.lstCopyFrom.SetSelected(n, true);
            q.ResetCopyStatus();
            q.lstCopyFrom.ClearSelection();
            control.StartPauseResume();
            ++runs;
        }
        uint32_t n = q.lstCopyFrom.RootNodeCount();
        for (int k = 0; k < 3 && n > 0; ++k)
            q.lstCopyFrom.SetSelected(q.lstCopyFrom.NodeAt(rng() % n), true);
        switch (rng() % 7) {
        case 0:
            q.DelLines(q.lstCopyFrom, true, nullptr);
            break;
        case 1:
            q.ClearCompleted();
            break;
        case 2:
            q.ResetCopyStatus();
            break;
        case 3:
            q.ChangeNodeStates(false);
            break;
        case 4:
            control.StartPauseResume(); // pause or resume
            break;
        case 5:
            q.AddItem(q.lstCopyFrom, P("file0"), false, lsFileWaiting);
            q.FillDestLines(P("out"));
            break;
        default:
            q.DelLines(q.lstCopyFrom, false, nullptr);
        }
        q.lstCopyFrom.ClearSelection();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (run.Phase.View().Held)
        control.StartPauseResume();
    if (run.CopyRunning)
        control.Abort(); // abort
    WaitForRunEnd();
    EXPECT_GT(runs, 0);
    EXPECT_FALSE(run.CopyRunning);
    EXPECT_FALSE(run.AbortAsked);
    for (PVirtualNode n = q.lstCopyFrom.FirstNode(); n; n = q.lstCopyFrom.NextNode(n))
        EXPECT_FALSE(IsInProgressStatus(n->Data.Status.load()));
}
