#include "ui/modMain/frmMain.h"

#include "core/RunFiguresText.h"
#include "diag/Trace.h"
#include "ui/common/ElidedLabel.h"
#include "ui/common/FerroxApplication.h"
#include "ui/common/FileDialogs.h"
#include "ui/common/PathText.h"
#include "ui/lists/LineListModel.h"
#include "ui/lists/LineListView.h"
#include "ui/modAbout/frmAbout.h"
#include "ui/modMain/DesktopPresence.h"
#include "ui/modMain/WindowBridges.h"
#include "ui/modPleaseWait/frmPleaseWait.h"
#include "ui/modQueue/frmQueue.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QVBoxLayout>

#include <exception>
#include <optional>

namespace ferrox {

namespace {

constexpr int TopPanelHeight = 65;
constexpr int GaugeHeight = 20;
constexpr int StatusHeight = 19;
constexpr int RatePanelWidth = 200;
// Between the last button and the window's right-hand edge at the smallest width.
constexpr int ButtonRowEndGap = 4;
// Client size at design; with a usual frame and title bar the outer size is 594 x 562.
constexpr int DesignClientWidth = 586;
constexpr int DesignClientHeight = 528;
constexpr int DesignFromWidth = 293;
constexpr int DesignToWidth = 288;

QString WithoutMnemonic(QString caption) {
    return caption.replace("&&", "\x01").remove('&').replace("\x01", "&");
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

TStatusPanels::TStatusPanels(QWidget* parent) : QWidget(parent) {
    setObjectName("Status");
    // The status line often holds a path: cut in its middle, its name stays in view.
    Panel0 = new TElidedLabel(this);
    Panel0->setObjectName("StatusPanel0");
    Panel1 = new QLabel(this);
    Panel1->setObjectName("StatusPanel1");
    for (QLabel* panel : {Panel0, Panel1}) {
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        // Long paths must not widen the window.
        panel->setMinimumWidth(0);
        panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    }
    setFixedHeight(std::max(StatusHeight, fontMetrics().height() + 4));
}

void TStatusPanels::SetPanel0Width(int width) {
    panel0Width_ = width;
    Place();
}

void TStatusPanels::resizeEvent(QResizeEvent*) {
    // The window's resize rule sets the first panel's width, which places both.
    if (OnResize)
        OnResize();
    else
        Place();
}

void TStatusPanels::Place() {
    const int w0 = std::min(panel0Width_, width());
    Panel0->setGeometry(0, 0, w0, height());
    Panel1->setGeometry(w0, 0, std::max(0, width() - w0), height());
}

TfrmMain::TfrmMain(const std::string& queueFileName, QWidget* parent)
    : QMainWindow(parent), core_(std::make_unique<TFerroxCore>(queueFileName)) {
    setObjectName("frmMain");
    setWindowTitle("Ferrox");
    ExecAbout = [](QWidget* parent) { TfrmAbout(parent).exec(); };
    ExecQueueMaint = [](QWidget* parent, TFerroxCore& core) { TfrmQueue(core, parent).exec(); };

    // Top to bottom: the buttons, the two lists side by side, the gauge, the status bar.
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    BuildTopPanel();
    pnlTop_->setParent(central);
    layout->addWidget(pnlTop_);
    layout->addWidget(BuildLists(central), 1);
    layout->addWidget(BuildGauge(central));
    Status_ = new TStatusPanels(central);
    Status_->OnResize = [this] { FormResize(); };
    layout->addWidget(Status_);
    setCentralWidget(central);

    BuildMenus();
    ConnectListCommands();
    SetTabOrder();
    resize(DesignClientWidth, DesignClientHeight);
    MakeBridges();
    ShowRunButtons();

    FormCreate();
}

QSplitter* TfrmMain::BuildLists(QWidget* parent) {
    Splitter_ = new QSplitter(Qt::Horizontal, parent);
    Splitter_->setObjectName("Splitter");
    Splitter_->setHandleWidth(5);
    Splitter_->setChildrenCollapsible(false);
    lstCopyFrom_ = new TLineListView(core_->SourceList(), true, "lstCopyFrom", Splitter_);
    lstCopyTo_ = new TLineListView(core_->DestinationList(), false, "lstCopyTo", Splitter_);
    Splitter_->addWidget(lstCopyFrom_);
    Splitter_->addWidget(lstCopyTo_);
    // What a screen reader calls them: the captions above them, without the colon.
    lstCopyFrom_->setAccessibleName("Copy From");
    lstCopyTo_->setAccessibleName("Copy To");
    // The destination list keeps its width when the window is resized.
    Splitter_->setStretchFactor(0, 1);
    Splitter_->setStretchFactor(1, 0);
    Splitter_->setSizes({DesignFromWidth, DesignToWidth});
    // The destination's caption follows its list, however the list got moved.
    lstCopyTo_->installEventFilter(this);
    return Splitter_;
}

TGaugeWidget* TfrmMain::BuildGauge(QWidget* parent) {
    gaugeFileCopy_ = new TGaugeWidget(parent);
    gaugeFileCopy_->setObjectName("gaugeFileCopy");
    gaugeFileCopy_->SetStyle(sSolid);
    gaugeFileCopy_->SetText("%d%%");
    gaugeFileCopy_->setAccessibleName("File copy progress");
    // The bar and its text take the desktop's colours, a dark theme's too.
    gaugeFileCopy_->SetFollowPalette(true);
    // The sunken frame lies around the bar, outside its height.
    gaugeFileCopy_->setFixedHeight(GaugeHeight + (gaugeFileCopy_->Frame() ? 2 : 0));
    return gaugeFileCopy_;
}

void TfrmMain::SetTabOrder() {
    QWidget* const order[] = {btnSelFiles_, btnSelDir1_,    btnSelDir2_,  btnCopyNow_, btnClose_,
                              btnAbout_,    btnQueueMaint_, lstCopyFrom_, lstCopyTo_};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    btnSelFiles_->setFocus();
}

void TfrmMain::MakeBridges() {
    // What the core's threads show reaches the widgets through these, on this thread.
    statusBridge_ = std::make_unique<TStatusBridge>(*Status_->Panel0);
    rateBridge_ = std::make_unique<TRatePanelBridge>(
        *Status_->Panel1, [this] { return core_ ? core_->SpeedLimit() : int64_t(0); });
    gaugeBridge_ = std::make_unique<TGaugeBridge<TGaugeWidget>>(
        *gaugeFileCopy_, [this] { return !core_ || core_->Options().DisplayProgressBar; });
    TDesktopPresence::TWindow window;
    window.Active = [this] { return isActiveWindow(); };
    window.Raise = [this] { RaiseWindow(); };
    desktop_ = std::make_unique<TDesktopPresence>(std::move(window), QDBusConnection::sessionBus(),
                                                  std::make_unique<TSleepInhibitor>());
    TRunEventsBridge::TShow show;
    show.Buttons = [this] { ShowRunButtons(); };
    show.Figures = [this](const std::optional<TRunFigures>& figures) {
        ShowRunFigures(figures);
        desktop_->ShowFigures(figures);
    };
    show.Event = [this](const TRunEvent& event, const TEventWords& words) {
        desktop_->RunEvent(event, words);
    };
    show.Status = [this](const std::string& text) {
        statusBridge_->SetStatusText(text, TStatusKind::Info);
    };
    show.File = [this](const TFileProgress& file) { gaugeBridge_->ShowFile(file); };
    show.Rate = [this](const TTransferRate& rate) { rateBridge_->ShowRate(rate); };
    runEventsBridge_ = std::make_unique<TRunEventsBridge>(std::move(show));
}

TfrmMain::~TfrmMain() {
    FormDestroy();
}

void TfrmMain::BuildTopPanel() {
    pnlTop_ = new QFrame(this);
    pnlTop_->setObjectName("pnlTop");
    pnlTop_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pnlTop_->setFixedHeight(TopPanelHeight);

    auto button = [this](const char* name, const char* caption, const char* hint,
                         void (TfrmMain::*handler)()) {
        auto* b = new QPushButton(caption, pnlTop_);
        b->setObjectName(name);
        b->setToolTip(hint);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    btnAbout_ = button("btnAbout", "&?", "About Ferrox", &TfrmMain::btnAboutClick);
    btnQueueMaint_ =
        button("btnQueueMaint", "Q", "Load and Save Queues", &TfrmMain::btnQueueMaintClick);
    btnSelFiles_ =
        button("btnSelFiles", "Select Files", "Select Files to Copy", &TfrmMain::btnSelFilesClick);
    btnSelDir1_ =
        button("btnSelDir1", "Select Dir", "Select Directory To Copy", &TfrmMain::btnSelDir1Click);
    btnSelDir2_ = button("btnSelDir2", "Select Dir", "Select Destination Directory",
                         &TfrmMain::btnSelDir2Click);
    btnCopyNow_ = button("btnCopyNow", "", "", &TfrmMain::btnCopyNowClick);
    btnClose_ = button("btnClose", "", "", &TfrmMain::btnCloseClick);

    auto label = [this](const char* name, const char* caption) {
        auto* l = new QLabel(caption, pnlTop_);
        l->setObjectName(name);
        return l;
    };
    lblMove_ = label("lblMove", "Move (X)");
    Label1_ = label("Label1", "Copy From :");
    Label2_ = label("Label2", "Copy To :");
    PlaceButtons();
}

// Buttons stand at their design places; a caption that does not fit the design width
// with the desktop's font widens its button, and the buttons to its right move along.
void TfrmMain::PlaceButtons() {
    struct TPlace {
        QPushButton* button;
        int left, top, width, height;
        QStringList captions;
    };
    const TPlace places[] = {
        {btnAbout_, 0, 0, 25, 25, {"&?"}},
        {btnQueueMaint_, 24, 0, 25, 25, {"Q"}},
        {btnSelFiles_, 64, 16, 75, 25, {"Select Files"}},
        {btnSelDir1_, 160, 16, 75, 25, {"Select Dir"}},
        {btnSelDir2_, 312, 16, 75, 25, {"Select Dir"}},
        // Wide enough for each caption the run gives it, so it does not jump.
        {btnCopyNow_,
         408,
         16,
         75,
         25,
         {Q(RunTexts::CopyNowIdle.Caption), Q(RunTexts::CopyNowRunning.Caption),
          Q(RunTexts::CopyNowPaused.Caption)}},
        {btnClose_,
         496,
         16,
         75,
         25,
         {Q(RunTexts::CloseIdle.Caption), Q(RunTexts::CloseRunning.Caption)}},
    };
    const QFontMetrics fm = btnSelFiles_->fontMetrics();
    const int height = std::max(25, fm.height() + 8);
    int shift = 0, right = 0;
    for (const TPlace& p : places) {
        int need = 0;
        for (const QString& caption : p.captions)
            need = std::max(need, fm.horizontalAdvance(WithoutMnemonic(caption)) + 12);
        const int width = std::max(p.width, need);
        p.button->setGeometry(p.left + shift, p.top, width, height);
        shift += width - p.width;
        right = std::max(right, p.button->geometry().right() + 1);
    }
    // The window never gets narrower than its button row (the lists keep their own
    // minimum widths); the layout makes this the window's minimum.
    pnlTop_->setMinimumWidth(right + ButtonRowEndGap);
    PlaceLabels();
}

// The captions stand above their columns: the destination's follows the splitter.
void TfrmMain::PlaceLabels() {
    if (!lblMove_)
        return;
    const int top = 48;
    for (QLabel* l : {lblMove_, Label1_, Label2_})
        l->adjustSize();
    lblMove_->move(5, top);
    Label1_->move(std::max(56, lblMove_->geometry().right() + 8), top);
    int toLeft = 328;
    if (lstCopyTo_)
        toLeft = lstCopyTo_->mapTo(this, QPoint(0, 0)).x() + 30;
    Label2_->move(std::max(toLeft, Label1_->geometry().right() + 8), top);
}

void TfrmMain::BuildMenus() {
    auto item = [](QMenu* menu, const char* name, const char* caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(name);
        return a;
    };
    mnupopFrom_ = new QMenu(this);
    mnupopFrom_->setObjectName("mnupopFrom");
    item(mnupopFrom_, "mnupopFromCopythisLine", "&Copy this Line Now");
    item(mnupopFrom_, "mnupopFromDelFullLine", "Delete &Full Line(s)");
    item(mnupopFrom_, "mnupopFromDelFromLine", "Delete &Line(s)");
    item(mnupopFrom_, "mnupopFromResetCopyStatus", "&Reset Copy Status");
    item(mnupopFrom_, "mnupopFromClear", "Cl&ear List");
    QMenu* move = mnupopFrom_->addMenu("&Move");
    move->setObjectName("mnupopFromMove");
    move->menuAction()->setObjectName("mnupopFromMove");
    item(move, "mnupopFromMoveEnable", "&Enable");
    item(move, "mnupopFromMoveDisable", "&Disable");
    item(mnupopFrom_, "mnupopFromClearCompleted", "Clear C&ompleted");

    mnupopTo_ = new QMenu(this);
    mnupopTo_->setObjectName("mnupopTo");
    item(mnupopTo_, "mnupopToDelLine", "Delete Line(s)");
    item(mnupopTo_, "mnupopToClear", "Clear List");

    // The rate panel's menu: the speed cap, changed at once, also during a run.
    mnupopRate_ = new QMenu(this);
    mnupopRate_->setObjectName("mnupopRate");
    auto* caps = new QActionGroup(mnupopRate_);
    auto cap = [&](QAction* a, int64_t limit) {
        a->setCheckable(true);
        a->setData(QVariant::fromValue<qint64>(limit));
        caps->addAction(a);
        connect(a, &QAction::triggered, this, [this, limit] { mnupopRateClick(limit); });
    };
    cap(item(mnupopRate_, "mnupopRateNoLimit", "No limit"), 0);
    for (int64_t limit : SpeedLimitSteps) {
        const std::string name = "mnupopRate" + std::to_string(limit >> 20) + "M";
        cap(item(mnupopRate_, name.c_str(), SpeedText(limit, numberFormat_).c_str()), limit);
    }
    connect(mnupopRate_, &QMenu::aboutToShow, this, [this] {
        const int64_t now = core_ ? core_->SpeedLimit() : 0;
        for (QAction* a : mnupopRate_->actions())
            a->setChecked(a->data().toLongLong() == now);
    });
    Status_->Panel1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Status_->Panel1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { mnupopRate_->popup(Status_->Panel1->mapToGlobal(pos)); });

    connect(lstCopyFrom_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        mnupopFrom_->popup(lstCopyFrom_->viewport()->mapToGlobal(pos));
    });
    connect(lstCopyTo_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        mnupopTo_->popup(lstCopyTo_->viewport()->mapToGlobal(pos));
    });
}

void TfrmMain::FormCreate() {
    TraceCreate();
    // What a handler leaves goes to AppException through the application object; what
    // the steps below leave goes there too, and the window goes on without the rest.
    try {
        TTraceScope trace("FormCreate");
        TCoreSinks& sinks = sinks_;
        sinks.StatusLine = statusBridge_.get();
        sinks.RunEvents = runEventsBridge_.get();
        sinks.EnableMainButtons = [this](bool enabled) { EnableMainButtons(enabled); };
        sinks.CloseProgram = [this] { close(); };
        sinks.BrowseDialog = [this](const std::string& caption,
                                    const std::string& start) -> std::optional<std::string> {
            const QString chosen =
                FileDialogs::GetExistingDirectory(this, Q(caption), ShownPath(start));
            if (chosen.isEmpty())
                return std::nullopt;
            return PathBytes(chosen);
        };
        if (auto* app = dynamic_cast<TFerroxApplication*>(QCoreApplication::instance()))
            app->OnUnhandledException = [this] { core_->ReportUnhandledException(); };
        // The load may have to wait for a Ferrox that is closing to let go of the queue
        // file; the program's own please-wait box is made after this window.
        TfrmPleaseWait startUpWait(this);
        sinks.PleaseWait = &startUpWait;
        core_->Attach(sinks);
        core_->Start();
        rateBridge_->ShowLimit(); // a cap from the options shows before any run
        sinks.PleaseWait = nullptr;
        // From now on the queue file's work reports here, through this window's event loop
        // (during the start-up load this thread waited for it).
        sinks.RunOnFaceThread = [this](std::function<void()> task) {
            QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
        };
        core_->Attach(sinks);
    } catch (...) {
        core_->ReportUnhandledException();
    }
}

void TfrmMain::FormDestroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    try {
        if (auto* app = dynamic_cast<TFerroxApplication*>(QCoreApplication::instance()))
            app->OnUnhandledException = nullptr;
        TraceRelease();
        core_->Shutdown();
        // No thread calls into the window from here on.
        core_->DetachSinks();
        runEventsBridge_.reset();
        desktop_.reset();
        gaugeBridge_.reset();
        rateBridge_.reset();
        statusBridge_.reset();
        // The views and their models read the core's lists: they go first.
        delete takeCentralWidget();
        lstCopyFrom_ = lstCopyTo_ = nullptr;
        core_.reset();
    } catch (...) {
        // Silent: the window and its core are going, so nothing is left to tell it to.
    }
}

void TfrmMain::SetPleaseWait(IPleaseWait* pleaseWait) {
    sinks_.PleaseWait = pleaseWait;
    if (core_ && !destroyed_)
        core_->Attach(sinks_);
}

QString TfrmMain::StatusText() const {
    return Status_->Panel0->text();
}

void TfrmMain::mnupopRateClick(int64_t limit) {
    if (!core_)
        return;
    core_->SetSpeedLimit(limit);
    rateBridge_->ShowLimit();
}

QString TfrmMain::RateText() const {
    return Status_->Panel1->text();
}

void TfrmMain::ShowRunButtons() {
    const TButtonText copyNow = core_->CopyNowButton();
    const TButtonText close = core_->CloseButton();
    btnCopyNow_->setText(Q(copyNow.Caption));
    btnCopyNow_->setToolTip(Q(copyNow.Hint));
    btnClose_->setText(Q(close.Caption));
    btnClose_->setToolTip(Q(close.Hint));
}

void TfrmMain::ShowRunFigures(const std::optional<TRunFigures>& figures) {
    // The layout stays as it is: the title and the gauge's tooltip carry the whole run.
    if (!figures) {
        setWindowTitle("Ferrox");
        gaugeFileCopy_->setToolTip(QString());
        return;
    }
    setWindowTitle(Q(RunTitle(*figures)));
    gaugeFileCopy_->setToolTip(Q(RunDetails(*figures, numberFormat_)));
}

void TfrmMain::RaiseWindow() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void TfrmMain::btnCopyNowClick() {
    core_->StartPauseResume();
}

void TfrmMain::btnCloseClick() {
    core_->AbortOrClose();
}

void TfrmMain::EnableMainButtons(bool enabled) {
    for (QPushButton* b :
         {btnClose_, btnCopyNow_, btnSelDir2_, btnSelDir1_, btnSelFiles_, btnQueueMaint_})
        b->setEnabled(enabled);
}

void TfrmMain::btnAboutClick() {
    TTraceScope trace("btnAboutClick");
    if (ExecAbout)
        ExecAbout(this);
}

void TfrmMain::btnQueueMaintClick() {
    // Popped however the dialog ends.
    TTraceScope trace("btnQueueMaintClick", TTraceScope::Always);
    if (ExecQueueMaint)
        ExecQueueMaint(this, *core_);
}

void TfrmMain::ConnectListCommands() {
    auto command = [this](const char* name, void (TfrmMain::*handler)()) {
        connect(findChild<QAction*>(name), &QAction::triggered, this, handler);
    };
    command("mnupopFromCopythisLine", &TfrmMain::mnupopFromCopythisLineClick);
    command("mnupopFromDelFullLine", &TfrmMain::mnupopFromDelFullLineClick);
    command("mnupopFromDelFromLine", &TfrmMain::mnupopFromDelFromLineClick);
    command("mnupopFromResetCopyStatus", &TfrmMain::mnupopFromResetCopyStatusClick);
    command("mnupopFromClear", &TfrmMain::mnupopFromClearClick);
    command("mnupopFromMoveEnable", &TfrmMain::mnupopFromMoveEnableClick);
    command("mnupopFromMoveDisable", &TfrmMain::mnupopFromMoveDisableClick);
    command("mnupopFromClearCompleted", &TfrmMain::mnupopFromClearCompletedClick);
    command("mnupopToDelLine", &TfrmMain::mnupopToDelLineClick);
    command("mnupopToClear", &TfrmMain::mnupopToClearClick);

    // What users of desktop lists expect of the Delete key.
    lstCopyFrom_->OnDeleteKey = [this] { mnupopFromDelFullLineClick(); };
    lstCopyTo_->OnDeleteKey = [this] { mnupopToDelLineClick(); };
    // Drops, and pastes of what a file manager copied (Ctrl+V), alike.
    lstCopyFrom_->OnDropFiles = [this](const TUriList& urls) {
        core_->DropOnSources(urls.LocalPaths, urls.NotLocal);
    };
    lstCopyTo_->OnDropFiles = [this](const TUriList& urls) {
        core_->DropOnDestinations(urls.LocalPaths, urls.NotLocal);
    };
    // A line's Move box (lstCopyFromChecked).
    lstCopyFrom_->LineModel()->OnMoveMark = [this](const PVirtualNode& line, bool move) {
        core_->MarkLineMove(line, move);
    };
}

void TfrmMain::mnupopFromCopythisLineClick() {
    core_->CopySelectedLinesNow();
}
void TfrmMain::mnupopFromDelFullLineClick() {
    core_->DeleteFullLines();
}
void TfrmMain::mnupopFromDelFromLineClick() {
    core_->DeleteSourceLines();
}
void TfrmMain::mnupopFromResetCopyStatusClick() {
    core_->ResetCopyStatus();
}
void TfrmMain::mnupopFromClearClick() {
    core_->ClearSources();
}
void TfrmMain::mnupopFromMoveEnableClick() {
    core_->MarkMove(true);
}
void TfrmMain::mnupopFromMoveDisableClick() {
    core_->MarkMove(false);
}
void TfrmMain::mnupopFromClearCompletedClick() {
    core_->ClearCompleted();
}
void TfrmMain::mnupopToDelLineClick() {
    core_->DeleteDestinationLines();
}
void TfrmMain::mnupopToClearClick() {
    core_->ClearDestinations();
}

void TfrmMain::btnSelFilesClick() {
    const QStringList chosen =
        FileDialogs::GetOpenFileNames(this, QString(), QString(), "All Files (*)");
    // An empty answer is a cancel: the dialog lets no one choose nothing.
    std::optional<std::vector<std::string>> files;
    if (!chosen.isEmpty()) {
        files.emplace();
        for (const QString& name : chosen)
            files->push_back(PathBytes(name));
    }
    core_->AddFiles(files);
}

void TfrmMain::btnSelDir1Click() {
    core_->AddSourceFolder();
}

void TfrmMain::btnSelDir2Click() {
    core_->AddDestinationFolder();
}

void TfrmMain::FormResize() {
    TTraceScope trace("FormResize");
    const int w = Status_->width();
    Status_->SetPanel0Width(w - RatePanelWidth < 0 ? w : w - RatePanelWidth);
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    PlaceLabels();
    if (centred_)
        return;
    centred_ = true;
    if (QScreen* s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    // The run stops now, not once the window is gone: the program is to end at once.
    if (event->isAccepted() && !destroyed_)
        core_->Closing();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lstCopyTo_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        PlaceLabels();
    return QMainWindow::eventFilter(watched, event);
}

} // namespace ferrox
