#pragma once
#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "core/FerroxCore.h"
#include "platform/NumberFormat.h"
#include "ui/ykCoolGauge/ykCoolGauge.h"

class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QSplitter;

namespace ferrox {

class IPleaseWait;
class TStatusBridge;
class TRatePanelBridge;
class TRunEventsBridge;
class TDesktopPresence;
class TLineListView;
template <class Gauge> class TGaugeBridge;

// The window's gauge widget.
using TGaugeWidget = TykCoolGauge;

// The status bar: two panels side by side, the second one reaching the right-hand end.
class TStatusPanels : public QWidget {
public:
    explicit TStatusPanels(QWidget* parent);
    QLabel* Panel0;
    QLabel* Panel1;
    void SetPanel0Width(int width);
    int Panel0Width() const { return panel0Width_; }
    std::function<void()> OnResize;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Place();
    int panel0Width_ = 386;
};

// The main window: the button row, the two queue lists side by side, the gauge and the
// status bar. It owns the core; what it shows comes from the core through the bridges.
class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    // queueFileName: the default queue file; empty: QUEUE.INI in the program's directory.
    explicit TfrmMain(const std::string& queueFileName = {}, QWidget* parent = nullptr);
    ~TfrmMain() override;

    TFerroxCore& Core() { return *core_; }
    // The please-wait window is made after this one; the queue operations show it.
    void SetPleaseWait(IPleaseWait* pleaseWait);
    // What the two small buttons open (modal dialogs; tests put their own here).
    std::function<void(QWidget* parent)> ExecAbout;
    std::function<void(QWidget* parent, TFerroxCore& core)> ExecQueueMaint;

    QString StatusText() const;
    QString RateText() const;

    void btnCopyNowClick();
    void btnCloseClick();
    void btnAboutClick();
    void btnQueueMaintClick();
    void btnSelFilesClick();
    void btnSelDir1Click();
    void btnSelDir2Click();
    // The popup menus' commands; the core runs each after a queue save or load under way.
    void mnupopFromCopythisLineClick();
    void mnupopFromDelFullLineClick();
    void mnupopFromDelFromLineClick();
    void mnupopFromResetCopyStatusClick();
    void mnupopFromClearClick();
    void mnupopFromMoveEnableClick();
    void mnupopFromMoveDisableClick();
    void mnupopFromClearCompletedClick();
    void mnupopToDelLineClick();
    void mnupopToClearClick();
    void EnableMainButtons(bool enabled);
    void FormResize();
    // A request from outside the window (its own command line, another `ferrox`), run in
    // turn: whole, after a queue save or load under way and what came before.
    void RunRequest(std::function<void()> request) { core_->RunInTurn(std::move(request)); }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildTopPanel();
    QSplitter* BuildLists(QWidget* parent);
    TGaugeWidget* BuildGauge(QWidget* parent);
    void SetTabOrder();
    void MakeBridges();
    void PlaceButtons();
    void BuildMenus();
    void PlaceLabels();
    void ShowRunButtons();
    // The run's figures in the title and the gauge's tooltip; none: the run is over.
    void ShowRunFigures(const std::optional<TRunFigures>& figures);
    // From a notification: the window to the front, restored if it was minimised.
    void RaiseWindow();
    void FormCreate();
    void FormDestroy();
    void ConnectListCommands();
    // A speed cap chosen on the rate panel's menu (0: none).
    void mnupopRateClick(int64_t limit);

    std::unique_ptr<TFerroxCore> core_;
    TCoreSinks sinks_; // what the core was given, kept for SetPleaseWait
    const TNumberFormat numberFormat_ = TNumberFormat::FromUserLocale();
    QFrame* pnlTop_ = nullptr;
    QPushButton* btnAbout_ = nullptr;
    QPushButton* btnQueueMaint_ = nullptr;
    QPushButton* btnSelFiles_ = nullptr;
    QPushButton* btnSelDir1_ = nullptr;
    QPushButton* btnSelDir2_ = nullptr;
    QPushButton* btnCopyNow_ = nullptr;
    QPushButton* btnClose_ = nullptr;
    QLabel* lblMove_ = nullptr;
    QLabel* Label1_ = nullptr;
    QLabel* Label2_ = nullptr;
    QSplitter* Splitter_ = nullptr;
    TLineListView* lstCopyFrom_ = nullptr;
    TLineListView* lstCopyTo_ = nullptr;
    TGaugeWidget* gaugeFileCopy_ = nullptr;
    TStatusPanels* Status_ = nullptr;
    QMenu* mnupopFrom_ = nullptr;
    QMenu* mnupopTo_ = nullptr;
    QMenu* mnupopRate_ = nullptr;

    std::unique_ptr<TStatusBridge> statusBridge_;
    std::unique_ptr<TRatePanelBridge> rateBridge_;
    std::unique_ptr<TGaugeBridge<TGaugeWidget>> gaugeBridge_;
    std::unique_ptr<TRunEventsBridge> runEventsBridge_;
    std::unique_ptr<TDesktopPresence> desktop_;
    bool centred_ = false;
    bool destroyed_ = false;
};

} // namespace ferrox
