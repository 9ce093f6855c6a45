#include "ui/modAbout/frmAbout.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <sys/utsname.h>
#include <utility>

namespace ferrox {

namespace {
QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect place,
                  int pixelSize, bool bold = false) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(place);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    return label;
}

QLabel* MakeLink(QWidget* parent, const char* name, const QString& text, QRect place) {
    QLabel* label = MakeLabel(parent, name, text, place, 16);
    QFont font = label->font();
    font.setItalic(true);
    font.setUnderline(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
    return label;
}
void FitLabel(QLabel* label) {
    label->resize(label->size().expandedTo(label->sizeHint()));
}

void FitRow(QLabel* caption, QLabel* value) {
    FitLabel(caption);
    FitLabel(value);
    value->move(std::max(value->x(), caption->geometry().right() + 4), value->y());
}
} // namespace

QString OsDescription(const std::string& sysName, const std::string& release) {
    if (sysName.empty())
        return "Unknown Operating System";
    // "6.1.0-13-amd64" gives "6.1.0".
    size_t end = 0;
    while (end < release.size() && (std::isdigit(static_cast<unsigned char>(release[end])) ||
                                    (release[end] == '.' && end > 0)))
        ++end;
    std::string version = release.substr(0, end);
    while (!version.empty() && version.back() == '.')
        version.pop_back();
    if (version.empty())
        version = "0.0.0";
    return QString::fromStdString(sysName + " (" + version + ")");
}

QString CurrentOsDescription() {
    struct utsname name;
    if (::uname(&name) != 0)
        return OsDescription({}, {});
    return OsDescription(name.sysname, name.release);
}

TfrmAbout::TfrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("frmAbout");
    setWindowTitle("About Ferrox");
    QLabel* heading = MakeLabel(this, "lblHeading", "Ferrox", {88, 0, 164, 31}, 27, true);
    QFont headingFont = heading->font();
    headingFont.setFamily("Georgia");
    headingFont.setStyleHint(QFont::Serif);
    heading->setFont(headingFont);
    QLabel* lblVerString = MakeLabel(this, "lblVerString", "Version:", {56, 40, 70, 24}, 19);
    lblVersion_ = MakeLabel(this, "lblVersion", {}, {128, 40, 241, 24}, 19);
    QLabel* lblCopyright = MakeLabel(this, "lblCopyright", MakerLine, {56, 64, 308, 24}, 19);
    QLabel* lblEmail = MakeLabel(this, "lblEmail", "Email :", {16, 96, 47, 20}, 16);
    lblGoEmail_ = MakeLink(this, "lblGoEmail", MakerEmail, {64, 96, 188, 20});
    QLabel* lblWeb = MakeLabel(this, "lblWeb", "Web :", {16, 120, 41, 20}, 16);
    lblGoHttp_ = MakeLink(this, "lblGoHttp", MakerWeb, {64, 120, 155, 20});
    QLabel* lblLicense = MakeLabel(this, "lblLicense", LicenceLine, {16, 144, 337, 20}, 16);
    QLabel* lblWin = MakeLabel(this, "lblWin", "OS :", {16, 168, 31, 20}, 16);
    lblWinVersion_ = MakeLabel(this, "lblWinVersion", {}, {56, 168, 337, 17}, 16, true);

    auto* btnOK = new QPushButton("&OK", this);
    btnOK->setObjectName("btnOK");
    btnOK->setGeometry(336, 192, 75, 25);
    btnOK->setDefault(true);
    btnOK->setFocus();
    connect(btnOK, &QPushButton::clicked, this, &TfrmAbout::btnOKClick);
    lblGoEmail_->installEventFilter(this);
    lblGoHttp_->installEventFilter(this);

    FormCreate();

    // The desktop's fonts are wider than the ones the layout was drawn for: a text that
    // does not fit widens its label (and moves what follows on its line) instead of being
    // cut, and the box grows to hold it.
    FitLabel(heading);
    FitLabel(lblCopyright);
    FitLabel(lblLicense);
    FitRow(lblVerString, lblVersion_);
    FitRow(lblEmail, lblGoEmail_);
    FitRow(lblWeb, lblGoHttp_);
    FitRow(lblWin, lblWinVersion_);
    // What we have no address for is left out, not shown empty; the licence moves up.
    int nextRow = 96;
    for (auto [caption, value] : {std::pair{lblEmail, lblGoEmail_}, {lblWeb, lblGoHttp_}}) {
        if (value->text().isEmpty()) {
            caption->hide();
            value->hide();
            continue;
        }
        caption->move(caption->x(), nextRow);
        value->move(value->x(), nextRow);
        nextRow += 24;
    }
    lblLicense->move(lblLicense->x(), nextRow);
    const QRect used = childrenRect();
    const QSize size =
        QSize(418, 219).expandedTo(QSize(used.right() + 1 + 7, used.bottom() + 1 + 2));
    btnOK->move(size.width() - 82, size.height() - 27);
    setFixedSize(size);
}

void TfrmAbout::FormCreate() {
    lblVersion_->setText(ProgramVersion);
    lblWinVersion_->setText(CurrentOsDescription());
}

void TfrmAbout::btnOKClick() {
    accept();
}

void TfrmAbout::lblGoEmailClick() {
    if (!*MakerEmail)
        return;
    QDesktopServices::openUrl(QUrl(QString("mailto:") + MakerEmail));
}

void TfrmAbout::lblGoHttpClick() {
    if (!*MakerWeb)
        return;
    QDesktopServices::openUrl(QUrl(MakerWeb));
}

bool TfrmAbout::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == lblGoEmail_ || watched == lblGoHttp_) &&
        event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        // Released outside the link: the user changed their mind.
        auto* label = static_cast<QLabel*>(watched);
        if (mouse->button() == Qt::LeftButton &&
            label->rect().contains(mouse->position().toPoint())) {
            if (watched == lblGoEmail_)
                lblGoEmailClick();
            else
                lblGoHttpClick();
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace ferrox
