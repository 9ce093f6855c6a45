#include "persist/QueueFile.h"

#include "diag/ErrorLog.h"
#include "diag/Trace.h"
#include "platform/SettingsDir.h"
#include "platform/SysError.h"
#include "support/ListHelpers.h"
#include "support/StatusRecorder.h"
#include "support/TestSupport.h"

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {

struct TLine {
    std::string Path;
    int32_t Status;
    bool Move;
    bool operator==(const TLine&) const = default;
};

[[maybe_unused]] std::ostream& operator<<(std::ostream& out, const TLine& l) {
    return out << "{" << l.Path << ", " << LineStatusName(l.Status) << (l.Move ? ", move}" : "}");
}

std::vector<TLine> Lines(const TLineList& list) {
    std::vector<TLine> out;
    for (PVirtualNode n = list.FirstNode(); n; n = list.NextNode(n))
        out.push_back({n->Data.Path, n->Data.Status.load(), TCopyQueue::IsMove(n)});
    return out;
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct TWaitRecorder {
    void operator()(bool shown) { Events += shown ? "show;" : "hide;"; }
    std::string Events;
};

class QueueFileTest : public ::testing::Test {
protected:
    QueueFileTest() : cwd_(dir.Path()) {
        SetSettingsDirForTesting(dir.Path());
        TraceCreate();
        file = std::make_unique<TQueueFile>(queue, running);
        file->PleaseWait = [this](bool shown) { wait(shown); };
        queue.SetAutosave([this] { file->Autosave(); });
    }

    void From(const std::string& path, int32_t status = lsFileWaiting, bool move = false) {
        queue.AddItem(queue.lstCopyFrom, path, move, status);
    }
    void To(const std::string& path, int32_t status = lsDirWaiting) {
        queue.AddItem(queue.lstCopyTo, path, false, status);
    }
    std::string Queue() const { return dir / "QUEUE.INI"; }
    std::string Log() const { return Exists(LogFileName()) ? ReadFile(LogFileName()) : ""; }
    std::vector<std::string> Shown() const { return status.Texts(); }

    TTempDir dir;
    TWorkingDirectory cwd_;
    TCopyQueue queue;
    TStatusRecorder status{queue.StatusLine};
    TWaitRecorder wait;
    std::atomic<bool> running{false};
    std::unique_ptr<TQueueFile> file;
};

using Texts = std::vector<std::string>;

const char* const ExampleFile = "[Queue]\r\n"
                                "FROM-1=F:/data/a.txt\r\n"
                                "TO-1=/backup\r\n"
                                "DONE-1=0\r\n"
                                "MOVE-1=1\r\n"
                                "FROM-2=D:/data/photos\r\n"
                                "TO-2=\r\n"
                                "DONE-2=1\r\n"
                                "MOVE-2=0\r\n";

TEST_F(QueueFileTest, SavesTheExampleByteForByteAndLoadsItBack) {
    EXPECT_EQ(file->Name(), dir.Path() + "/QUEUE.INI");
    From("/data/a.txt", lsFileWaiting, true);
    From("/data/photos", lsDirDone);
    To("/backup");
    file->SaveNow(); // the Close button
    EXPECT_EQ(ReadFile(Queue()), ExampleFile);
    EXPECT_EQ(Shown(), Texts{""}) << "no record count without a file name";
    EXPECT_EQ(wait.Events, "show;hide;");

    queue.Clear(queue.lstCopyFrom);
    queue.Clear(queue.lstCopyTo);
    status.Clear();
    file->LoadAtStart(); // start-up
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/data/a.txt", lsFileWaiting, true},
                                                            {"/data/photos", lsDirDone, false}}));
    EXPECT_EQ(Lines(queue.lstCopyTo), (std::vector<TLine>{{"/backup", lsDirWaiting, false}}));
    EXPECT_EQ(Shown(), (Texts{"", "Queue Loaded [2 records]"}));
    EXPECT_EQ(wait.Events, "show;hide;") << "no please-wait box for the start-up load";
}

TEST_F(QueueFileTest, EveryStatusRoundTripsAsDoneOrWaiting) {
    const int32_t statuses[] = {lsFileWaiting, lsDirWaiting, lsFileDone,   lsDirDone,
                                lsFileCopying, lsDirCopying, lsFileFailed, lsDirFailed};
    std::vector<TLine> expectFrom, expectTo;
    for (int32_t s : statuses) {
        std::string path = "/src/" + std::string(LineStatusName(s));
        bool move = s % 3 == 0;
        From(path, s, move);
        To("/dst/" + std::to_string(s), s % 2 ? lsDirFailed : lsDirCopying);
        int32_t back = IsCompletedStatus(s) ? s : (IsDirStatus(s) ? lsDirWaiting : lsFileWaiting);
        expectFrom.push_back({path, back, move});
        expectTo.push_back(
            {"/dst/" + std::to_string(s), IsCompletedStatus(s) ? lsDirDone : lsDirWaiting, false});
    }
    const std::string name = dir / "all.ini";
    file->SaveAs(name);
    EXPECT_EQ(file->Name(), name);
    EXPECT_EQ(Shown(), (Texts{"", "Queue Saved [8 records]"}));
    file->LoadFrom(name);
    EXPECT_EQ(Lines(queue.lstCopyFrom), expectFrom);
    EXPECT_EQ(Lines(queue.lstCopyTo), expectTo);
    EXPECT_EQ(Shown().back(), "Queue Loaded [8 records]");
}

TEST_F(QueueFileTest, DestinationListsOfOtherLengthsKeepThePairing) {
    From("/a");
    From("/b");
    From("/c");
    To("/only");
    file->SaveNow();
    std::string text = ReadFile(Queue());
    EXPECT_NE(text.find("TO-2=\r\n"), std::string::npos);
    EXPECT_NE(text.find("TO-3=\r\n"), std::string::npos);
    file->LoadAtStart();
    EXPECT_EQ(Lines(queue.lstCopyTo), (std::vector<TLine>{{"/only", lsDirWaiting, false}}));

    queue.Clear(queue.lstCopyFrom);
    queue.Clear(queue.lstCopyTo);
    From("/a");
    To("/x");
    To("/extra");
    file->SaveNow();
    file->LoadAtStart();
    EXPECT_EQ(Lines(queue.lstCopyTo), (std::vector<TLine>{{"/x", lsDirWaiting, false}}));
}

TEST_F(QueueFileTest, LoaderPrefixRules) {
    WriteFile(Queue(), "[queue]\n"
                       "from-1=F:/first\n"
                       "to-1=/t1\n"
                       "FROM-2=F:\n"
                       "TO-2=/dropped with F: alone\n"
                       "FROM-3=x\n"
                       "TO-3=/dropped with a single letter\n"
                       "FROM-4=C:/data/a.txt\n"
                       "DONE-4=1\n"
                       "FROM-5=/data/no prefix\n"
                       "TO-5=/dropped with no prefix\n"
                       "FROM-6=d:/x\n"
                       "FROM-7=D:/data\n"
                       "TO-7=/t7\n"
                       "DONE-7=1\n"
                       "MOVE-7=1\n"
                       "FROM-8=F:/done file\n"
                       "DONE-8=$1\n");
    From("/replaced");
    file->LoadAtStart();
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/first", lsFileWaiting, false},
                                                            {"C:/data/a.txt", lsFileWaiting, false},
                                                            {"d:/x", lsFileWaiting, false},
                                                            {"/data", lsDirDone, true},
                                                            {"/done file", lsFileDone, false}}));
    EXPECT_EQ(Lines(queue.lstCopyTo),
              (std::vector<TLine>{{"/t1", lsDirWaiting, false}, {"/t7", lsDirDone, false}}));
    EXPECT_EQ(Shown().back(), "Queue Loaded [5 records]");
}

TEST_F(QueueFileTest, LoadingStopsAtTheFirstMissingOrEmptyFrom) {
    WriteFile(Queue(), "[Queue]\r\nFROM-1=F:/one\r\nFROM-2=F:/two\r\nFROM-4=F:/four\r\n"
                       "TO-4=/four\r\n");
    file->LoadAtStart();
    EXPECT_EQ(queue.lstCopyFrom.RootNodeCount(), 2u);
    EXPECT_EQ(queue.lstCopyTo.RootNodeCount(), 0u);

    WriteFile(Queue(), "[Queue]\r\nFROM-1=F:/one\r\nFROM-2=\r\nFROM-3=F:/three\r\n");
    file->LoadAtStart();
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/one", lsFileWaiting, false}}));
}

TEST_F(QueueFileTest, AFileThatIsNoQueueLeavesTheListsTheNameAndTheFileAlone) {
    From("/kept");
    To("/kept-to");
    file->SaveNow();
    const std::string other = dir / "other.ini";
    const std::string empty = dir / "empty.ini";
    const std::string fifo = dir / "fifo.ini";
    const std::string settings = "[settings]\r\nimportant=1\r\nFROM-1=F:/not read\r\n";
    WriteFile(other, settings);
    WriteFile(empty, "");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    wait.Events.clear(); // the save's
    for (const std::string& name : {other, empty}) {
        status.Clear();
        EXPECT_EQ(file->LoadFrom(name), TLoadResult::NotAQueue) << name;
        EXPECT_EQ(Shown(), Texts{"Not a queue file, it has no [Queue] section [" + name + "]"});
    }
    // Neither is read at all: a fifo could block for ever, /dev/zero never ends.
    for (const std::string& name : {fifo, std::string("/dev/zero")}) {
        EXPECT_EQ(file->LoadFrom(name), TLoadResult::Unreadable) << name;
        EXPECT_EQ(Shown().back(), "Exception Error: Unable to read " + name + ": " +
                                      SysErrorMessage(errSpecialFile));
    }
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/kept", lsFileWaiting, false}}));
    EXPECT_EQ(queue.lstCopyTo.RootNodeCount(), 1u);
    EXPECT_EQ(file->Name(), Queue());
    EXPECT_EQ(wait.Events, "") << "nothing was loaded";

    // The next autosave goes where it went before; the other files are untouched.
    From("/added");
    EXPECT_EQ(file->Autosave(), TSaveResult::Saved);
    EXPECT_NE(ReadFile(Queue()).find("FROM-2=F:/added"), std::string::npos);
    EXPECT_EQ(ReadFile(other), settings);
    EXPECT_EQ(ReadFile(empty), "");
    EXPECT_FALSE(Exists("other.BAK"));

    // A queue whose editor put a byte order mark before it is still a queue.
    WriteFile(other, "\xEF\xBB\xBF[Queue]\r\nFROM-1=F:/with bom\r\n");
    EXPECT_EQ(file->LoadFrom(other), TLoadResult::Loaded);
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/with bom", lsFileWaiting, false}}));
    EXPECT_EQ(file->Name(), other);
}

TEST_F(QueueFileTest, AutosaveStopsAbove30LinesAndLeavesTheFileAlone) {
    for (int i = 1; i <= 30; ++i)
        From("/f" + std::to_string(i));
    queue.Autosave();
    const std::string saved = ReadFile(Queue());
    EXPECT_NE(saved.find("FROM-30=F:/f30\r\n"), std::string::npos);
    EXPECT_EQ(Shown(), Texts{""}) << "the autosave names no count";

    From("/f31");
    status.Clear();
    queue.Autosave();
    EXPECT_EQ(Shown(), Texts{"Autosave QUEUE file disabled due to large QUEUE size"});
    EXPECT_EQ(ReadFile(Queue()), saved);
    EXPECT_FALSE(Exists("QUEUE.BAK")) << "a refused autosave makes no backup either";

    running = true; // the message shows even while a copy runs, no other does
    status.Clear();
    queue.Autosave();
    file->SaveAs(dir / "during.ini");
    EXPECT_EQ(Shown(), Texts{"Autosave QUEUE file disabled due to large QUEUE size"});
    EXPECT_TRUE(Exists(dir / "during.ini"));
    running = false;
    file->SetName(Queue());

    file->SaveNow(); // the Close button has no limit
    EXPECT_NE(ReadFile(Queue()).find("FROM-31=F:/f31\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile("QUEUE.BAK"), saved);
}

TEST_F(QueueFileTest, TheBackupHoldsThePreviousSave) {
    From("/first");
    queue.Autosave();
    const std::string first = ReadFile(Queue());
    From("/second");
    queue.Autosave();
    const std::string second = ReadFile(Queue());
    EXPECT_NE(first, second);
    EXPECT_EQ(ReadFile("QUEUE.BAK"), first);
    From("/third");
    queue.Autosave();
    EXPECT_EQ(ReadFile("QUEUE.BAK"), second);
    EXPECT_EQ(DirectoryEntries(dir.Path()), (Texts{"QUEUE.BAK", "QUEUE.INI"}))
        << "no temporary file is left behind";
}

TEST_F(QueueFileTest, AnInstalledCopyKeepsTheBackupInItsStateDirectory) {
    TTempDir state;
    SetSettingsDirForTesting(dir.Path(), state.Path());
    WriteFile(Queue(), ExampleFile);
    queue.Autosave(); // an empty queue: the old file becomes the backup
    EXPECT_EQ(ReadFile(state / "QUEUE.BAK"), ExampleFile);
    From("/first");
    queue.Autosave();
    const std::string first = ReadFile(Queue());
    From("/second");
    queue.Autosave();
    EXPECT_EQ(ReadFile(state / "QUEUE.BAK"), first);
    EXPECT_EQ(DirectoryEntries(dir.Path()), Texts{"QUEUE.INI"})
        << "nothing in the working directory";
}

TEST_F(QueueFileTest, BackupNames) {
    EXPECT_EQ(QueueBackupName("/opt/ferrox/QUEUE.INI"), "QUEUE.BAK");
    EXPECT_EQ(QueueBackupName("rel/notes.txt"), "notes.BAK");
    EXPECT_EQ(QueueBackupName("/x.d/QUEUE"), "BAK");
    EXPECT_EQ(QueueBackupName("/x/a.b.c"), "a.b.BAK");
    EXPECT_EQ(QueueBackupName("/x/.hidden"), ".BAK");
    EXPECT_EQ(QueueBackupName("/x/"), "BAK");
}

TEST_F(QueueFileTest, SavingOntoAnotherFileMovesItToItsBackupInTheWorkingDirectory) {
    MakeDir(dir / "docs");
    const std::string notes = dir / "docs/notes.txt";
    WriteFile(notes, "my notes\n");
    From("/a");
    file->SaveAs(notes);
    EXPECT_EQ(ReadFile(dir / "notes.BAK"), "my notes\n");
    EXPECT_EQ(ReadFile(notes), "[Queue]\r\nFROM-1=F:/a\r\nTO-1=\r\nDONE-1=0\r\nMOVE-1=0\r\n");
    EXPECT_EQ(DirectoryEntries(dir / "docs"), Texts{"notes.txt"});
    EXPECT_EQ(file->Name(), notes);
    EXPECT_EQ(Shown(), (Texts{"", "Queue Saved [1 records]"}));
    EXPECT_EQ(wait.Events, "show;hide;");
}

TEST_F(QueueFileTest, AQueueFileUnderItsOwnBackupNameIsSavedCleanly) {
    const std::string name = dir / "q.BAK"; // its backup would be itself
    From("/one");
    file->SaveAs(name);
    From("/two");
    file->SaveAs(name);
    EXPECT_NE(ReadFile(name).find("FROM-2=F:/two"), std::string::npos);
    EXPECT_EQ(DirectoryEntries(dir.Path()), Texts{"q.BAK"});
}

TEST_F(QueueFileTest, AnEmptyQueueLeavesOnlyTheBackup) {
    WriteFile(Queue(), ExampleFile);
    queue.Autosave();
    EXPECT_FALSE(Exists(Queue()));
    EXPECT_EQ(ReadFile("QUEUE.BAK"), ExampleFile);
    EXPECT_EQ(Shown(), Texts{});

    file->SaveAs(dir / "chosen.ini");
    EXPECT_EQ(Shown(), Texts{"Nothing to Save?"});
    EXPECT_EQ(wait.Events, "") << "nothing to wait for";

    running = true;
    status.Clear();
    file->SaveAs(dir / "chosen.ini");
    EXPECT_EQ(Shown(), Texts{});
}

TEST_F(QueueFileTest, LoadingANameThatDoesNotExistKeepsTheLinesAndTakesTheName) {
    From("/kept", lsFileDone);
    To("/kept-to");
    file->LoadAtStart(); // start-up without QUEUE.INI: silent
    EXPECT_EQ(Shown(), Texts{});
    const std::string name = dir / "new-queue.ini";
    file->LoadFrom(name);
    EXPECT_EQ(Shown(), Texts{"Queue File to Load does not Exists?"});
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/kept", lsFileDone, false}}));
    EXPECT_EQ(queue.lstCopyTo.RootNodeCount(), 1u);
    EXPECT_EQ(file->Name(), name);

    queue.Autosave();
    EXPECT_NE(ReadFile(name).find("FROM-1=F:/kept\r\nTO-1=/kept-to\r\nDONE-1=1"),
              std::string::npos);
    EXPECT_FALSE(Exists(Queue()));
}

TEST_F(QueueFileTest, PathsOfAnyLengthComeBackWhole) {
    const std::string longest = "/" + std::string(4094, 'p'); // 4095 bytes
    const std::string usual = "/" + std::string(3999, 'q');
    From(longest, lsDirWaiting);
    To(longest);
    From(usual);
    To(usual);
    file->SaveNow();
    file->LoadAtStart();
    EXPECT_EQ(Lines(queue.lstCopyFrom),
              (std::vector<TLine>{{longest, lsDirWaiting, false}, {usual, lsFileWaiting, false}}));
    EXPECT_EQ(Lines(queue.lstCopyTo),
              (std::vector<TLine>{{longest, lsDirWaiting, false}, {usual, lsDirWaiting, false}}));

    // Longer than any path the kernel takes: still read back as it was written, so the
    // next run fails on the real name instead of a cut one, and saves it whole again.
    const std::string tooLong = "/" + std::string(9999, 'r');
    WriteFile(Queue(), "[Queue]\r\nFROM-1=F:" + tooLong + "\r\nTO-1=" + tooLong +
                           "\r\nFROM-2=C:" + tooLong + "\r\n");
    file->LoadAtStart();
    auto from = Lines(queue.lstCopyFrom);
    ASSERT_EQ(from.size(), 2u);
    EXPECT_TRUE(from[0].Path == tooLong);
    EXPECT_TRUE(from[1].Path == "C:" + tooLong);
    EXPECT_TRUE(Lines(queue.lstCopyTo)[0].Path == tooLong);
    file->SaveNow();
    EXPECT_NE(ReadFile(Queue()).find("FROM-1=F:" + tooLong + "\r\nTO-1=" + tooLong + "\r\n"),
              std::string::npos);
}

TEST_F(QueueFileTest, AwkwardPathBytesSurviveASave) {
    const std::string paths[] = {"/trailing blank ", "/x/\xff\xfe latin1 \xe9", "/a=b;c[d]",
                                 "/cr\rin name", "/'quoted'"};
    for (const auto& p : paths) {
        From(p);
        To(" " + p + " ");
    }
    file->SaveNow();
    file->LoadAtStart();
    auto from = Lines(queue.lstCopyFrom);
    auto to = Lines(queue.lstCopyTo);
    ASSERT_EQ(from.size(), std::size(paths));
    ASSERT_EQ(to.size(), std::size(paths));
    for (size_t i = 0; i < std::size(paths); ++i) {
        EXPECT_EQ(from[i].Path, paths[i]);
        EXPECT_EQ(to[i].Path, " " + paths[i] + " ");
    }
}

TEST_F(QueueFileTest, APathWithALineBreakIsLeftOutAndTheRestKeepsItsPairs) {
    From("/first");
    To("/t1");
    From("/a\nFROM-3=F:/injected");
    To("/t2");
    From("/third", lsFileDone);
    To("/t3");
    file->SaveAs(Queue());
    EXPECT_EQ(ReadFile(Queue()), "[Queue]\r\n"
                                 "FROM-1=F:/first\r\nTO-1=/t1\r\nDONE-1=0\r\nMOVE-1=0\r\n"
                                 "FROM-2=F:/third\r\nTO-2=/t3\r\nDONE-2=1\r\nMOVE-2=0\r\n");
    EXPECT_EQ(Log(), "Line not saved, its path holds a line break [/a\nFROM-3=F:/injected]\r\n");
    EXPECT_EQ(Shown().back(), "Queue Saved [2 records]");
}

TEST_F(QueueFileTest, AWriteThatFailsMidwayKeepsTheOldFile) {
    WriteFile(Queue(), ExampleFile);
    for (int i = 0; i < 30; ++i)
        From("/" + std::string(200, 'a' + i % 26));
    // A file size limit makes the kernel refuse the write part way, as a full disk would.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 2048;
    auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    file->SaveNow();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);

    const std::string message =
        "Exception Error: Unable to write to " + Queue() + ": " + SysErrorMessage(EFBIG);
    EXPECT_EQ(ReadFile(Queue()), ExampleFile);
    EXPECT_EQ(Log(), message + "\r\n");
    EXPECT_EQ(Shown().back(), message);
    EXPECT_EQ(wait.Events, "show;hide;");
    EXPECT_EQ(DirectoryEntries(dir.Path()), (Texts{LogFileName(), "QUEUE.BAK", "QUEUE.INI"}));
}

// Runs body in a child process that has an ordinary user's rights (root ignores
// permissions); the child's exit status.
int RunAsOrdinaryUser(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(77);
        ::_exit(body());
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(QueueFileTest, ASaveIntoAnUnwritableDirectoryIsLoggedAndChangesNothing) {
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    MakeDir(dir / "ro");
    const std::string name = dir / "ro/QUEUE.INI";
    WriteFile(name, ExampleFile);
    ASSERT_EQ(::chmod(name.c_str(), 0644), 0);
    ASSERT_EQ(::chmod((dir / "ro").c_str(), 0555), 0);
    file->SetName(name);
    From("/new line");
    const std::string message =
        "Exception Error: Unable to write to " + name + ": " + SysErrorMessage(EACCES);
    int rc = RunAsOrdinaryUser([&] {
        file->SaveNow();
        Texts shown = Shown();
        return !shown.empty() && shown.back() == message && wait.Events == "show;hide;" ? 0 : 1;
    });
    ASSERT_NE(rc, 77) << "cannot take an ordinary user's rights";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(name), ExampleFile);
    EXPECT_EQ(DirectoryEntries(dir / "ro"), Texts{"QUEUE.INI"});
    EXPECT_EQ(Log(), message + "\r\n");
}

TEST_F(QueueFileTest, ABackupOnAnotherFileSystemIsCopied) {
    struct stat here {
    }, shm{};
    if (::stat(dir.Path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 ||
        here.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    char pattern[] = "/dev/shm/ferrox-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string other = pattern;
    const std::string name = other + "/QUEUE.INI";
    From("/first");
    file->SaveAs(name);
    const std::string first = ReadFile(name);
    From("/second");
    ASSERT_EQ(::chmod(name.c_str(), 0600), 0);
    file->SaveAs(name);
    const std::string second = ReadFile(name);
    EXPECT_EQ(ReadFile("QUEUE.BAK"), first);
    struct stat bak {};
    ASSERT_EQ(::stat("QUEUE.BAK", &bak), 0);
    EXPECT_EQ(bak.st_mode & 0777, 0600u) << "a copy of a private queue stays private";
    EXPECT_NE(second.find("FROM-2=F:/second"), std::string::npos);

    queue.Clear(queue.lstCopyFrom);
    file->Autosave();
    EXPECT_FALSE(Exists(name));
    EXPECT_EQ(ReadFile("QUEUE.BAK"), second);
    EXPECT_EQ(DirectoryEntries(other), Texts{});
    EXPECT_EQ(Log(), "");
    RemoveTree(other);
}

TEST_F(QueueFileTest, AnUnreadableFileKeepsTheLines) {
    MakeDir(Queue()); // a directory where the file should be
    From("/kept");
    file->LoadFrom(Queue());
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/kept", lsFileWaiting, false}}));
    EXPECT_EQ(Log(), "Exception Error: Unable to read " + Queue() + ": Is a directory\r\n");
}

TEST_F(QueueFileTest, NoLoadWhileACopyRuns) {
    WriteFile(dir / "other.ini", ExampleFile);
    From("/running");
    To("/dest");
    running = true;
    const std::string before = file->Name();
    const auto traceBefore = TraceEntries();
    file->LoadFrom(dir / "other.ini");
    EXPECT_EQ(Shown(), Texts{"You cannot load a queue while the copy is running"});
    EXPECT_EQ(Lines(queue.lstCopyFrom), (std::vector<TLine>{{"/running", lsFileWaiting, false}}));
    EXPECT_EQ(queue.lstCopyTo.RootNodeCount(), 1u);
    EXPECT_EQ(file->Name(), before);
    EXPECT_EQ(wait.Events, "");
    EXPECT_EQ(TraceEntries(), traceBefore);
}

TEST_F(QueueFileTest, TheTraceIsBalancedAndNamesTheOperation) {
    for (int i = 0; i < 300; ++i)
        From("/f" + std::to_string(i));
    Texts seen;
    file->PleaseWait = [&](bool shown) {
        auto entries = TraceEntries();
        if (shown)
            seen.push_back(entries.empty() ? "" : entries.back());
    };
    const auto before = TraceEntries();
    file->SaveNow();
    file->LoadFrom(Queue());
    file->LoadFrom(dir / "missing.ini");
    MakeDir(dir / "adir");
    file->LoadFrom(dir / "adir");
    file->SaveAs(dir / "nodir/x.ini");
    EXPECT_EQ(TraceEntries(), before);
    EXPECT_EQ(seen, (Texts{"SaveQueue", "LoadQueue", "SaveQueue"}));
    EXPECT_EQ(queue.lstCopyFrom.RootNodeCount(), 300u);
}

TEST_F(QueueFileTest, SavingWhileTheRunChangesStatuses) {
    for (int i = 0; i < 30; ++i) {
        From("/f" + std::to_string(i), lsFileWaiting, i % 2);
        To("/t" + std::to_string(i));
    }
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        int32_t s = 0;
        while (!stop) {
            for (PVirtualNode n = queue.lstCopyFrom.FirstNode(); n;
                 n = queue.lstCopyFrom.NextNode(n))
                queue.lstCopyFrom.SetStatus(n, s);
            s = (s + 1) % 8;
        }
    });
    running = true;
    for (int i = 0; i < 50; ++i)
        file->Autosave();
    stop = true;
    worker.join();
    running = false;
    file->LoadAtStart();
    EXPECT_EQ(queue.lstCopyFrom.RootNodeCount(), 30u);
    EXPECT_EQ(queue.lstCopyTo.RootNodeCount(), 30u);
}

} // namespace

namespace {

TEST_F(QueueFileTest, TwoHoldersOfOneQueueFile) {
    From("/first");
    To("/to");
    ASSERT_EQ(file->SaveNow(), TSaveResult::Saved);
    const std::string firstSave = ReadFile(Queue());

    // A second face on the same file: a flock is per open file, so one process shows it.
    TCopyQueue otherQueue;
    TStatusRecorder otherStatus{otherQueue.StatusLine};
    TQueueFile other(otherQueue, running);
    otherQueue.AddItem(otherQueue.lstCopyFrom, "/the other's own", false, lsFileWaiting);
    EXPECT_EQ(other.LoadAtStart(), TLoadResult::InUseElsewhere);
    EXPECT_TRUE(other.InUseElsewhere());
    EXPECT_EQ(otherStatus.Texts(), Texts{"Queue file in use by another Ferrox [" + Queue() + "]"});
    EXPECT_EQ(Paths(otherQueue.lstCopyFrom), Texts{"/the other's own"});

    // Its saves are refused, also after the holder's save replaced the file (the lock
    // moves to the new file with it).
    EXPECT_EQ(other.SaveNow(), TSaveResult::InUseElsewhere);
    From("/second");
    ASSERT_EQ(file->SaveNow(), TSaveResult::Saved);
    const std::string secondSave = ReadFile(Queue());
    EXPECT_NE(secondSave, firstSave);
    EXPECT_EQ(other.SaveNow(), TSaveResult::InUseElsewhere);
    EXPECT_EQ(other.LoadAtStart(), TLoadResult::InUseElsewhere);
    EXPECT_EQ(ReadFile(Queue()), secondSave);

    // Free again, but the other's lines never came from the file: saving them over it
    // would drop the holder's queue, so it has to load first.
    file.reset();
    otherStatus.Clear();
    EXPECT_EQ(other.SaveNow(), TSaveResult::InUseElsewhere);
    EXPECT_EQ(otherStatus.Texts(),
              Texts{"Queue file was in use when it was to be loaded, load it again "
                    "before saving [" +
                    Queue() + "]"});
    EXPECT_EQ(ReadFile(Queue()), secondSave);
    EXPECT_EQ(other.LoadAtStart(), TLoadResult::Loaded);
    EXPECT_FALSE(other.InUseElsewhere());
    EXPECT_EQ(Paths(otherQueue.lstCopyFrom), (Texts{"/first", "/second"}));
    EXPECT_EQ(other.SaveNow(), TSaveResult::Saved);

    // Now the other one holds it.
    TCopyQueue thirdQueue;
    TQueueFile third(thirdQueue, running);
    EXPECT_EQ(third.LoadAtStart(), TLoadResult::InUseElsewhere);
    // An explicit save elsewhere is the user's choice, and takes that file.
    thirdQueue.AddItem(thirdQueue.lstCopyFrom, "/third", false, lsFileWaiting);
    EXPECT_EQ(third.SaveAs(dir / "third.ini"), TSaveResult::Saved);
    EXPECT_EQ(other.LoadFrom(dir / "third.ini"), TLoadResult::InUseElsewhere);
    EXPECT_EQ(other.Name(), Queue()) << "a file in use does not become the queue file";
}

TEST_F(QueueFileTest, ASaveThroughASymbolicLinkKeepsTheLink) {
    MakeDir(dir / "real");
    const std::string real = dir / "real/q.ini";
    WriteFile(real, ExampleFile);
    ASSERT_EQ(::symlink("real/q.ini", (dir / "link.ini").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "link.ini").c_str(), Queue().c_str()), 0); // a chain of two
    ASSERT_EQ(file->LoadAtStart(), TLoadResult::Loaded);
    From("/added");
    ASSERT_EQ(file->SaveNow(), TSaveResult::Saved);

    struct stat st {};
    ASSERT_EQ(::lstat(Queue().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::lstat((dir / "link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(ReadFile(real).find("FROM-3=F:/added"), std::string::npos);
    EXPECT_EQ(ReadFile("QUEUE.BAK"), ExampleFile) << "the backup holds what the link led to";
    EXPECT_EQ(DirectoryEntries(dir / "real"), Texts{"q.ini"});

    // An empty queue moves the file the link leads to; the link stays for the next save.
    queue.Clear(queue.lstCopyFrom);
    EXPECT_EQ(file->SaveNow(), TSaveResult::NothingToSave);
    EXPECT_FALSE(Exists(real));
    ASSERT_EQ(::lstat(Queue().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    From("/again");
    EXPECT_EQ(file->SaveNow(), TSaveResult::Saved);
    EXPECT_NE(ReadFile(real).find("FROM-1=F:/again"), std::string::npos);
}

TEST_F(QueueFileTest, ASaveKilledBeforeItsRenameLeavesNothingBehind) {
    WriteFile(Queue(), ExampleFile);
    for (int i = 0; i < 30; ++i)
        From("/line" + std::to_string(i));
    pid_t pid = ::fork();
    if (pid == 0) {
        // Killed the moment the new content is on disk, the latest a kill can cost a file.
        SetBeforeNamingHookForTesting([] { ::raise(SIGKILL); });
        file->SaveNow();
        ::_exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(st)) << "the save never reached its rename";
    EXPECT_EQ(ReadFile(Queue()), ExampleFile);
    EXPECT_EQ(DirectoryEntries(dir.Path()), (Texts{"QUEUE.BAK", "QUEUE.INI"}));
}

// What someone else put under the queue file's name, in the ways a user or another program
// does it (the last at the very moment of the save's rename), is theirs: it stays, and the
// queue goes to a new file beside it, where the rest of the session saves too.
TEST_F(QueueFileTest, AQueueFileChangedBySomeoneElseIsKeptAndTheQueueGoesBesideIt) {
    enum THow {
        Replaced,
        WrittenInPlace,
        CreatedWhereThereWasNone,
        ReplacedWhileNaming,
        CreatedWhileNaming
    };
    static std::string theirs, name; // for the hook, which takes no state
    theirs = dir / "theirs.ini";
    const std::string theirText = "[Queue]\r\nFROM-1=F:/theirs\r\n";
    for (THow how : {Replaced, WrittenInPlace, CreatedWhereThereWasNone, ReplacedWhileNaming,
                     CreatedWhileNaming}) {
        SCOPED_TRACE(how);
        const std::string base = dir / ("q" + std::to_string(how));
        name = base + ".ini";
        std::string side = base + "-1.ini";
        WriteFile(theirs, theirText);
        if (how != CreatedWhereThereWasNone && how != CreatedWhileNaming)
            WriteFile(name, ExampleFile);
        TCopyQueue q;
        TStatusRecorder shown{q.StatusLine};
        TQueueFile f(q, running);
        f.LoadFrom(name);
        q.AddItem(q.lstCopyFrom, "/ours", false, lsFileDone);
        if (how == Replaced) {
            WriteFile(side, "someone's"); // a name taken is passed over
            side = base + "-2.ini";
        }
        if (how == WrittenInPlace)
            WriteFile(name, theirText);
        else if (how == ReplacedWhileNaming || how == CreatedWhileNaming)
            SetBeforeNamingHookForTesting([] {
                SetBeforeNamingHookForTesting(nullptr);
                ::rename(theirs.c_str(), name.c_str());
            });
        else
            ASSERT_EQ(::rename(theirs.c_str(), name.c_str()), 0);

        EXPECT_EQ(f.SaveNow(), TSaveResult::SavedBeside);
        EXPECT_EQ(ReadFile(name), theirText);
        EXPECT_NE(ReadFile(side).find("=F:/ours\r\n"), std::string::npos);
        EXPECT_EQ(f.Name(), side);
        EXPECT_EQ(shown.Last(), SavedBesideMessage(name, side));
        q.AddItem(q.lstCopyFrom, "/later", false, lsFileWaiting);
        EXPECT_EQ(f.Autosave(), TSaveResult::Saved);
        EXPECT_NE(ReadFile(side).find("=F:/later\r\n"), std::string::npos);
        EXPECT_EQ(ReadFile(name), theirText);
    }
    EXPECT_EQ(ReadFile(dir / "q0-1.ini"), "someone's");
}

TEST_F(QueueFileTest, ASaveKeepsTheOwnerAndGroupOfTheFileItStandsFor) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    const uid_t user = 65534;
    const gid_t group = 65534;
    auto owner = [](const std::string& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777);
    };
    WriteFile(Queue(), ExampleFile);
    ASSERT_EQ(::chown(Queue().c_str(), user, group), 0);
    ASSERT_EQ(::chmod(Queue().c_str(), 0600), 0);
    ASSERT_EQ(file->LoadAtStart(), TLoadResult::Loaded);
    From("/added");
    ASSERT_EQ(file->SaveNow(), TSaveResult::Saved);
    EXPECT_EQ(owner(Queue()), std::tuple(user, group, 0600u));

    // The file beside someone else's is made like the one it stands in for.
    WriteFile(dir / "theirs.ini", ExampleFile);
    ASSERT_EQ(::rename((dir / "theirs.ini").c_str(), Queue().c_str()), 0);
    ASSERT_EQ(file->SaveNow(), TSaveResult::SavedBeside);
    EXPECT_EQ(owner(dir / "QUEUE-1.INI"), std::tuple(user, group, 0600u));
}

} // namespace

// A queue file whose lines cannot all be read once its check has passed (a read error part
// way) leaves part of its queue in the lists: no save without a name may put that part in
// the file's place, or the rest of the queue would be lost.
TEST_F(QueueFileTest, AFileWhoseLinesFailToReadIsNotReplacedByThePartRead) {
    WriteFile(Queue(), ExampleFile);
    // The descriptor the lines are read through turns into a directory's: every read fails.
    SetBetweenQueueReadsHookForTesting([](int fd) {
        const int dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::dup2(dir, fd);
        ::close(dir);
    });
    file->LoadAtStart();
    SetBetweenQueueReadsHookForTesting(nullptr);
    EXPECT_EQ(queue.lstCopyFrom.RootNodeCount(), 0u);
    From("/data/new.txt");
    To("/backup");
    file->Autosave();
    file->SaveNow();
    EXPECT_EQ(ReadFile(Queue()), ExampleFile);
    // Loaded again, the file is whole and is the queue's again.
    file->LoadAtStart();
    EXPECT_EQ(queue.lstCopyFrom.RootNodeCount(), 2u);
    file->SaveNow();
    EXPECT_EQ(ReadFile(Queue()), ExampleFile);
}
