#pragma once
#include <QDialog>
#include <QString>

#include <string>

class QLabel;

namespace ferrox {

inline constexpr const char* ProgramVersion = "1.0.1.40";
inline constexpr const char* MakerLine = "Made by the Ferrox developers";
// Ferrox has no address or web site of its own yet: an empty one leaves its row out.
inline constexpr const char* MakerEmail = "";
inline constexpr const char* MakerWeb = "";
inline constexpr const char* LicenceLine = "Licence: GNU GPL version 3 or later";

// "Linux (6.1.0)" from uname's system name and release: the release's leading
// numbers only, so a distribution's suffix ("-13-amd64") stays out.
QString OsDescription(const std::string& sysName, const std::string& release);
// The description of the running system; "Unknown Operating System" when uname fails.
QString CurrentOsDescription();

// "About Ferrox": name, version, maker, the licence, the links there are and the running
// system.
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
