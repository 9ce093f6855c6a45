#pragma once
#include <QDialog>
#include <QString>

#include <string>

class QLabel;

namespace ferrox {

inline constexpr const char* ProgramVersion = "1.0.1.40";
inline constexpr const char* MakerLine = "Made by the Ferrox developers";
inline constexpr const char* MakerEmail = "ferrox@ferrox.example";
inline constexpr const char* MakerWeb = "https://ferrox.example/";

// "Linux (6.1.0)" from uname's system name and release: the release's leading
// numbers only, so a distribution's suffix ("-13-amd64") stays out.
QString OsDescription(const std::string& sysName, const std::string& release);
// The description of the running system; "Unknown Operating System" when uname fails.
QString CurrentOsDescription();

// "About Ferrox": name, version, maker, two links and the running system.
class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);

    void btnOKClick();
    // The links open through the desktop; the dialog stays open either way.
    void lblGoEmailClick();
    void lblGoHttpClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();

    QLabel* lblVersion_;
    QLabel* lblWinVersion_;
    QLabel* lblGoEmail_;
    QLabel* lblGoHttp_;
};

} // namespace ferrox
