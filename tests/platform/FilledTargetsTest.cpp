#include "platform/FilledTargets.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <sys/stat.h>

using namespace ferrox;

namespace {

struct stat TargetFile(ino_t inode) {
    struct stat st {};
    st.st_dev = 7;
    st.st_ino = inode;
    return st;
}

TFileIdentity SourceFile(uint64_t inode) {
    TFileIdentity id;
    id.Valid = true;
    id.Device = 3;
    id.Inode = inode;
    return id;
}

} // namespace

// The record of a large run stays whole through its tables' growth, and tells a file
// copied from another source by its path and, under another spelling, by the file itself.
TEST(FilledTargets, ALargeRunKnowsEveryTargetByPathAndByFile) {
    TFilledTargets record;
    constexpr int Files = 200000;
    auto dir = [](int i) { return "/t/dir" + std::to_string(i / 1000); };
    auto name = [](int i) { return "f" + std::to_string(i); };
    for (int i = 0; i < Files; ++i) {
        const struct stat target = TargetFile(ino_t(1000000 + i));
        record.Filled(dir(i), name(i), target, SourceFile(uint64_t(i)));
    }
    for (int i = 0; i < Files; i += 7) {
        const struct stat target = TargetFile(ino_t(1000000 + i));
        const struct stat elsewhere = TargetFile(ino_t(5000000 + i));
        // Its own source may replace it; another may not, found by path or by the file.
        EXPECT_FALSE(record.FilledFromOther(dir(i), name(i), &target, SourceFile(uint64_t(i))));
        EXPECT_TRUE(record.FilledFromOther(dir(i), name(i), nullptr, SourceFile(uint64_t(i + 1))));
        EXPECT_TRUE(record.FilledFromOther("/other/spelling", name(i), &target,
                                           SourceFile(uint64_t(i + 1))));
        // A name and a file the run never filled are free to replace.
        EXPECT_FALSE(record.FilledFromOther(dir(i), name(i) + ".x", &elsewhere,
                                            SourceFile(uint64_t(i + 1))));
        EXPECT_FALSE(record.FilledFromOther(dir(i + 1000), name(i), &elsewhere,
                                            SourceFile(uint64_t(i + 1))));
    }
}

// FAT and exFAT hold one file for names that differ only in case: copies onto such names
// must take turns as copies onto one name do.
TEST(FilledTargets, NamesDifferingOnlyInCaseTakeTheirTurnsTogether) {
    TFilledTargets record;
    const std::mutex* first = record.Hold(7, "Report.TXT").mutex();
    for (const char* name : {"report.txt", "REPORT.TXT", "rEpOrT.tXt"})
        EXPECT_EQ(record.Hold(7, name).mutex(), first) << name;
}
