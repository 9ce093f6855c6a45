// The main window under load, measured with the real TfrmMain (offscreen unless
// QT_QPA_PLATFORM says otherwise):
//  1. while the window copies a tree of 20,000 files of 4 KiB in 200 directories (one
//     directory line, Copy NOW clicked), the window thread's stalls: the lateness of a
//     repeating 5 ms timer, max and 99th percentile, next to the same timer in the idle
//     window (what the shared machine itself costs);
//  2. that copy's whole time against ferrox-run on the same tree in the same round, who
//     goes first alternating, fresh target directories, sync before each timing;
//  3. with 100,000 lines in each list (a queue file loaded at start-up): start-up to a
//     shown window, scrolling from the first line to the last, select all, and Close with
//     its forced save;
//  4. the time left in the window's title ("34 % — 2 min left — Ferrox") against the time
//     the run really took from there, on a disk held at a steady rate (as run_bench does
//     for the run's own figures).
// Every copy goes into a fresh directory; everything is deleted only at the end.
//
//   window_bench [--dir DIR] [--rounds N] [--lines N] [--ferrox-run PATH]
//                [--skip-copy] [--skip-lines] [--skip-time-left] [--timeline]
#include "bench/BenchSupport.h"
#include "bench/TimeLeftCases.h"
#include "ui/common/FerroxApplication.h"
#include "ui/lists/LineListModel.h"
#include "ui/lists/LineListView.h"
#include "ui/modMain/frmMain.h"
#include "ui/modPleaseWait/frmPleaseWait.h"

#include <QEventLoop>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace ferrox;
using namespace ferrox::bench;

namespace {

constexpr int TickMs = 5;

double Ms(Clock::time_point start) {
    return Seconds(start) * 1e3;
}

long CountFiles(const std::string& root) {
    long n = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        n += entry.is_regular_file();
    return n;
}

std::string QueueLine(long n, const std::string& from, const std::string& to) {
    const std::string k = std::to_string(n);
    return "FROM-" + k + "=" + from + "\r\nTO-" + k + "=" + to + "\r\nDONE-" + k + "=0\r\nMOVE-" +
           k + "=0\r\n";
}

template <class T> T* Child(QWidget& w, const char* name) {
    T* child = w.findChild<T*>(name);
    if (!child)
        Fail(std::string("the window has no ") + name);
    return child;
}

// A repeating timer on the window thread; each tick notes how much later than its interval
// it came. What keeps the thread busy shows up as lateness.
class TStallMeter {
public:
    std::vector<double> LateMs;
    std::function<void()> OnTick;

    TStallMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            const double gap = std::chrono::duration<double, std::milli>(now - last_).count();
            LateMs.push_back(std::max(0.0, gap - TickMs));
            last_ = now;
            if (OnTick)
                OnTick();
        });
    }
    void Start() {
        last_ = Clock::now();
        timer_.start(TickMs);
    }
    void Stop() { timer_.stop(); }

private:
    QTimer timer_;
    Clock::time_point last_;
};

void PrintStalls(const char* what, const std::vector<double>& lateMs) {
    std::printf("   %s: %zu ticks, lateness max %.1f ms, 99th percentile %.1f ms\n", what,
                lateMs.size(), lateMs.empty() ? 0 : *std::max_element(lateMs.begin(), lateMs.end()),
                Quantile(lateMs, 0.99));
}

// Lets the window settle after it is shown: its first layout, paint and list refresh.
void Settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Paints of a list view, counted, and whether one of them showed all the lines.
class TPaintCounter : public QObject {
public:
    TPaintCounter(QTreeView& view, long lines) : view_(view), lines_(lines) {
        view.viewport()->installEventFilter(this);
    }
    int Paints = 0;
    bool PaintedAllLines = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++Paints;
            PaintedAllLines = PaintedAllLines || view_.model()->rowCount() == lines_;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTreeView& view_;
    const long lines_;
};

// CPU time the calling thread has used.
double ThreadCpuSeconds() {
    struct rusage ru {};
    ::getrusage(RUSAGE_THREAD, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

struct TWindowRun {
    double RunSeconds = 0;  // Copy NOW clicked to its caption back
    double WindowCpu = 0;   // the window thread's CPU time meanwhile
    int Paints = 0;         // of the two lists
    double SaveSeconds = 0; // the forced save of the lists the run left
    std::vector<double> LateMs;
};

// One copy of the queue through the window, as a user starts it; its end is what the user
// sees: the Copy NOW caption back.
TWindowRun CopyThroughWindow(const std::string& queueFile) {
    TWindowRun out;
    TfrmMain w(queueFile);
    TfrmPleaseWait wait(&w);
    w.SetPleaseWait(&wait);
    w.show();
    Settle(300);
    auto* copyNow = Child<QPushButton>(w, "btnCopyNow");
    const QString idle = copyNow->text();
    TPaintCounter paints[2] = {{*Child<QTreeView>(w, "lstCopyFrom"), 0},
                               {*Child<QTreeView>(w, "lstCopyTo"), 0}};

    ::sync();
    QEventLoop loop;
    TStallMeter meter;
    Clock::time_point start, end;
    meter.OnTick = [&] {
        if (copyNow->text() == idle) {
            end = Clock::now();
            loop.quit();
        } else if (Seconds(start) > 600) {
            Fail("the window's copy did not end within 10 minutes");
        }
    };
    const double cpuBefore = ThreadCpuSeconds();
    meter.Start();
    start = Clock::now();
    copyNow->click();
    if (copyNow->text() == idle)
        Fail("Copy NOW did not start a run");
    loop.exec();
    meter.Stop();
    out.WindowCpu = ThreadCpuSeconds() - cpuBefore;
    out.Paints = paints[0].Paints + paints[1].Paints;
    out.RunSeconds = std::chrono::duration<double>(end - start).count();
    out.LateMs = std::move(meter.LateMs);

    // ferrox-run saves the queue after its run; so does the window when it is closed.
    const auto saveStart = Clock::now();
    if (w.Core().SaveQueue() != TSaveResult::Saved)
        Fail("the window did not save its queue");
    out.SaveSeconds = Seconds(saveStart);
    w.SetPleaseWait(nullptr);
    return out;
}

double TimeFerroxRun(const std::string& exe, const std::string& queueFile) {
    const auto start = Clock::now();
    Shell("'" + exe + "' -q '" + queueFile + "' >/dev/null");
    return Seconds(start);
}

void BenchCopy(const std::string& work, const std::string& ferroxRun, int rounds) {
    std::printf("\n1./2. tree of 20,000 files of 4 KiB in 200 directories, one directory line "
                "(%d alternating rounds)\n",
                rounds);
    const std::string tree = work + "/tree20k";
    MakeTree(tree, 200, 100, 4096);

    {
        // The same timer in the idle window: what the machine's other work costs it.
        TfrmMain w(work + "/idle.ini");
        w.show();
        Settle(300);
        TStallMeter meter;
        meter.Start();
        Settle(1000);
        meter.Stop();
        PrintStalls("idle window, 1 s", meter.LateMs);
    }

    std::vector<double> window, save, runner, ratios, ratiosRunOnly, allLate;
    for (int r = 0; r < rounds; ++r) {
        const std::string n = std::to_string(r);
        const std::string windowDest = work + "/win" + n, runnerDest = work + "/run" + n;
        const std::string windowQueue = work + "/win" + n + ".ini",
                          runnerQueue = work + "/run" + n + ".ini";
        for (const std::string& d : {windowDest, runnerDest})
            ::mkdir(d.c_str(), 0755);
        WriteText(windowQueue, "[Queue]\r\n" + QueueLine(1, "D:" + tree, windowDest));
        WriteText(runnerQueue, "[Queue]\r\n" + QueueLine(1, "D:" + tree, runnerDest));

        TWindowRun w;
        double f;
        if (r % 2 == 0) {
            w = CopyThroughWindow(windowQueue);
            ::sync();
            f = TimeFerroxRun(ferroxRun, runnerQueue);
        } else {
            ::sync();
            f = TimeFerroxRun(ferroxRun, runnerQueue);
            w = CopyThroughWindow(windowQueue);
        }
        for (const std::string& d : {windowDest, runnerDest})
            if (long files = CountFiles(d); files != 20000)
                Fail(d + " holds " + std::to_string(files) + " files, not 20,000");
        window.push_back(w.RunSeconds);
        save.push_back(w.SaveSeconds);
        runner.push_back(f);
        ratios.push_back((w.RunSeconds + w.SaveSeconds) / f);
        ratiosRunOnly.push_back(w.RunSeconds / f);
        std::printf("   round %d (%s first): window %.3f s + save %.3f s, ferrox-run %.3f s; "
                    "window thread CPU %.3f s, %d list paints, stalls max %.1f ms, 99th percentile "
                    "%.1f ms\n",
                    r + 1, r % 2 == 0 ? "window" : "ferrox-run", w.RunSeconds, w.SaveSeconds, f,
                    w.WindowCpu, w.Paints, *std::max_element(w.LateMs.begin(), w.LateMs.end()),
                    Quantile(w.LateMs, 0.99));
        allLate.insert(allLate.end(), w.LateMs.begin(), w.LateMs.end());
    }
    PrintStalls("window thread during the copies (target: max < 50 ms)", allLate);
    std::printf("   median: window %.3f s + save %.3f s, ferrox-run %.3f s (process: start, "
                "load, run, save)\n",
                Median(window), Median(save), Median(runner));
    std::printf("   median ratio (window run + save) / ferrox-run: %.3f (target <= 1.1); "
                "run alone: %.3f\n",
                Median(ratios), Median(ratiosRunOnly));
}

// Handles events until `done` holds, or fails after a minute.
template <class F> void PumpUntil(F done, const char* what) {
    const auto start = Clock::now();
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (Seconds(start) > 60)
            Fail(std::string("gave up waiting for ") + what);
    }
}

long SelectedLines(const TVirtualTree& list) {
    long n = 0;
    for (PVirtualNode node = list.FirstSelectedNode(); node; node = list.NextSelectedNode(node))
        ++n;
    return n;
}

struct TLinesRound {
    double Shown = 0, LinesShown = 0, Close = 0;
    double Bottom[2] = {}, Top[2] = {}, PageStep[2] = {}, SelectAll[2] = {};
};

// Brings the view's scroll position and selection to the screen now, as the user would
// see them.
void ShowNow(QTreeView* view) {
    QCoreApplication::processEvents();
    view->viewport()->repaint();
}

TLinesRound BenchLinesOnce(const std::string& queueFile, long lines) {
    TLinesRound out;
    const auto start = Clock::now();
    TfrmMain w(queueFile);
    TfrmPleaseWait wait(&w);
    w.SetPleaseWait(&wait);
    QTreeView* views[2] = {Child<QTreeView>(w, "lstCopyFrom"), Child<QTreeView>(w, "lstCopyTo")};
    TPaintCounter painted[2] = {{*views[0], lines}, {*views[1], lines}};
    w.show();
    PumpUntil([&] { return painted[0].Paints > 0 && painted[1].Paints > 0; }, "the first paint");
    out.Shown = Ms(start);
    // The lists may take their lines on a later refresh; shown means painted with them.
    PumpUntil([&] { return painted[0].PaintedAllLines && painted[1].PaintedAllLines; },
              "a paint of the loaded lines");
    out.LinesShown = Ms(start);
    Settle(200);

    for (int i = 0; i < 2; ++i) {
        QTreeView* view = views[i];
        QScrollBar* bar = view->verticalScrollBar();
        auto t = Clock::now();
        view->scrollToBottom();
        ShowNow(view);
        out.Bottom[i] = Ms(t);
        const QModelIndex last = view->indexAt(QPoint(4, view->viewport()->height() - 4));
        if (bar->value() != bar->maximum() || (last.isValid() && last.row() < lines - 40))
            Fail("scrolling did not reach the last line");

        t = Clock::now();
        view->scrollToTop();
        ShowNow(view);
        out.Top[i] = Ms(t);

        // Page by page, as the Page Down key or a click in the scroll bar's trough does.
        constexpr int Steps = 200;
        t = Clock::now();
        for (int s = 0; s < Steps; ++s) {
            bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
            ShowNow(view);
        }
        out.PageStep[i] = Ms(t) / Steps;

        t = Clock::now();
        view->selectAll();
        ShowNow(view);
        out.SelectAll[i] = Ms(t);
        auto* line = dynamic_cast<TLineListView*>(view);
        if (!line || SelectedLines(*line->LineModel()->List()) != lines)
            Fail("select all did not select every line");
    }

    // Close as its button does it when no copy runs: the forced save, then the window goes.
    // The save runs on the queue file's thread; the window goes when it is done.
    const auto t = Clock::now();
    w.btnCloseClick();
    PumpUntil([&] { return !w.isVisible(); }, "Close to save the queue and close the window");
    out.Close = Ms(t);
    w.SetPleaseWait(nullptr);
    return out;
}

void BenchLines(const std::string& work, long lines, int rounds) {
    std::printf("\n3. %ld lines in each list, loaded from the queue file at start-up "
                "(%d rounds)\n",
                lines, rounds);
    // Paths of a usual length, in directories of a hundred.
    std::string text = "[Queue]\r\n";
    text.reserve(size_t(lines) * 140);
    for (long n = 1; n <= lines; ++n) {
        const std::string dir = "/d" + std::to_string(n / 100);
        text +=
            QueueLine(n, "F:" + work + "/photos/2024" + dir + "/IMG_" + std::to_string(n) + ".jpg",
                      work + "/backup/photos/2024" + dir);
    }
    // The text goes before the window loads it, so the peak below is the window's.
    const std::string original = work + "/lines.ini";
    WriteText(original, text);
    std::string().swap(text);
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const long rssBefore = usage.ru_maxrss;
    std::vector<TLinesRound> all;
    for (int r = 0; r < rounds; ++r) {
        const std::string queueFile = work + "/lines" + std::to_string(r) + ".ini";
        Shell("cp '" + original + "' '" + queueFile + "'");
        struct stat before {
        }, after{};
        ::stat(queueFile.c_str(), &before);
        TLinesRound x = BenchLinesOnce(queueFile, lines);
        // A save writes a new file in the old one's place.
        if (::stat(queueFile.c_str(), &after) != 0 || after.st_ino == before.st_ino ||
            after.st_size < before.st_size / 2)
            Fail("Close did not save the queue");
        std::printf("   round %d: shown %.0f ms, with its lines %.0f ms; to the last line %.1f / "
                    "%.1f ms, back to the first %.1f / %.1f ms, a page %.2f / %.2f ms, select "
                    "all %.1f / %.1f ms (source / destination); Close with save %.0f ms\n",
                    r + 1, x.Shown, x.LinesShown, x.Bottom[0], x.Bottom[1], x.Top[0], x.Top[1],
                    x.PageStep[0], x.PageStep[1], x.SelectAll[0], x.SelectAll[1], x.Close);
        all.push_back(x);
    }
    auto med = [&](auto field) {
        std::vector<double> v;
        for (const TLinesRound& x : all)
            v.push_back(field(x));
        return Median(v);
    };
    std::printf("   median: start-up to a shown window with its lines %.0f ms (target < 2000); "
                "to the last line %.1f ms, select all %.1f ms (worse list; target < 100 each); "
                "Close with the forced save %.0f ms (target < 2000)\n",
                med([](const TLinesRound& x) { return x.LinesShown; }),
                med([](const TLinesRound& x) { return std::max(x.Bottom[0], x.Bottom[1]); }),
                med([](const TLinesRound& x) { return std::max(x.SelectAll[0], x.SelectAll[1]); }),
                med([](const TLinesRound& x) { return x.Close; }));
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("   peak memory: %ld KiB more than before the first load, %.0f bytes a line "
                "(a line: a source line and its destination line; target <= 250)\n",
                usage.ru_maxrss - rssBefore,
                double(usage.ru_maxrss - rssBefore) * 1024 / double(lines));
}

QtMessageHandler qtMessages = nullptr;

// The offscreen platform says which window calls it cannot follow, on every window.
void DropPlatformNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!text.startsWith("This plugin does not support") && qtMessages)
        qtMessages(type, context, text);
}

} // namespace

// The share and the time left a title shows: "34 % — 2 min left — Ferrox", "1 h 5 min".
TShownLeft ReadTitle(const QString& title, double at) {
    TShownLeft shown{at, 0, std::nullopt, false};
    const QStringList parts = title.split(QString::fromUtf8(" \u2014 "));
    if (parts.size() < 2 || !parts[0].endsWith(" %"))
        return shown;
    shown.Percent = parts[0].chopped(2).toInt();
    if (parts.size() == 3 && parts[1].endsWith(" left")) {
        double seconds = 0;
        const QStringList words = parts[1].chopped(5).split(' ');
        for (int i = 0; i + 1 < words.size(); i += 2)
            seconds += words[i].toDouble() * (words[i + 1] == "h"     ? 3600
                                              : words[i + 1] == "min" ? 60
                                                                      : 1);
        shown.SecondsLeft = seconds;
    }
    return shown;
}

// Each queue of the time-left cases through the window onto its throttled disk, the title
// read every 100 ms.
void BenchTitle(const std::string& work, bool timeline) {
    for (const TDiskCase& c : TimeLeftCases()) {
        std::printf("\n4. time left in the title: %s\n", c.What);
        TThrottledDisk disk(work, "disk", int64_t(3) << 30, int64_t(c.MiBPerSecond) << 20,
                            c.Rotating);
        if (!disk.Missing().empty()) {
            std::printf("   skipped: needs %s\n", disk.Missing().c_str());
            continue;
        }
        const auto sources = MakeSources(work, c.Lines);
        const std::string dest = disk.Path() + "/out", queueFile = work + "/title.ini";
        ::mkdir(dest.c_str(), 0755);
        std::string queue = "[Queue]\r\n";
        long n = 0;
        for (const auto& [source, folder] : sources)
            queue += QueueLine(++n, (folder ? "D:" : "F:") + source, dest);
        WriteText(queueFile, queue);

        TfrmMain w(queueFile);
        w.show();
        Settle(300);
        auto* copyNow = Child<QPushButton>(w, "btnCopyNow");
        const QString idle = copyNow->text();
        std::vector<TShownLeft> shown;
        QEventLoop loop;
        QTimer timer;
        const auto start = Clock::now();
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (copyNow->text() == idle)
                loop.quit();
            else
                shown.push_back(ReadTitle(w.windowTitle(), Seconds(start)));
        });
        timer.start(100);
        copyNow->click();
        loop.exec();
        timer.stop();
        ReportTimeLeft(shown, Seconds(start), timeline);
        Shell("rm -rf '" + dest + "' '" + work + "'/src* '" + queueFile + "'");
    }
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qtMessages = qInstallMessageHandler(DropPlatformNotes);
    TArgs args(argc, argv);
    const std::string base = args.Text("--dir", DefaultWorkBase());
    const int rounds = int(args.Number("--rounds", 4));
    const long lines = args.Number("--lines", 100000);
    const std::string ferroxRun = args.Text("--ferrox-run", FERROX_RUN_PATH, "PATH");
    const bool skipCopy = args.Flag("--skip-copy");
    const bool skipLines = args.Flag("--skip-lines");
    const bool skipTimeLeft = args.Flag("--skip-time-left");
    const bool timeline = args.Flag("--timeline"); // each half second of the time left
    if (!args.Done())
        return 2;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string work = base + "/ferrox-wbench-XXXXXX";
    if (!::mkdtemp(work.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    // Queue backups and error logs land in the working directory.
    if (::chdir(work.c_str()) != 0) {
        std::perror("chdir");
        return 1;
    }
    TFerroxApplication app(argc, argv);
    std::printf("work directory: %s, platform %s\n", work.c_str(),
                qPrintable(QGuiApplication::platformName()));

    if (!skipCopy)
        BenchCopy(work, ferroxRun, rounds);
    if (!skipLines)
        BenchLines(work, lines, 3);
    if (!skipTimeLeft)
        BenchTitle(work, timeline);

    Shell("rm -rf '" + work + "'");
    return 0;
}
