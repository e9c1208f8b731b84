#include "TrayIcon.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

#include <algorithm>

namespace orv {
namespace {

std::function<bool()>& AvailabilityCheck()
{
    static std::function<bool()> check;
    return check;
}

QIcon ProgramIcon(const QWidget* window)
{
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull() && window)
        icon = window->windowIcon();
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    return icon;
}

}  // namespace

TrayIcon::TrayIcon(QWidget* window) : QObject(window), window_(window), icon_(new QSystemTrayIcon(this))
{
    icon_->setIcon(ProgramIcon(window));
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // Only the left button brings the window back; the right one opens
        // the context menu.
        if (reason == QSystemTrayIcon::Trigger)
            RestoreFromTray();
    });
    // A session-end request (commitDataRequest) leaves the icon alone: the
    // user or another program may still cancel the logout, and a window
    // hidden in the tray without its icon could not be reached again. When
    // the session really ends, the program is told to quit.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &TrayIcon::ProgramEnding);
}

TrayIcon::~TrayIcon() { icon_->hide(); }

void TrayIcon::SetTip(const QString& text)
{
    QString tip = text.left(kMaxTipLength);
    if (tip.size() == kMaxTipLength && tip.back().isHighSurrogate())
        tip.chop(1);
    tip_ = tip;
    icon_->setToolTip(tip_);
}

void TrayIcon::SetRecording(bool recording)
{
    if (recording == recording_)
        return;
    recording_ = recording;
    const QIcon plain = ProgramIcon(window_);
    if (!recording) {
        icon_->setIcon(plain);
        return;
    }
    // Each size of the icon gets a red dot, a third of its width, with a
    // white rim so that it shows on dark and light panels alike.
    QIcon marked;
    QList<QSize> sizes = plain.availableSizes();
    if (sizes.isEmpty())
        sizes = {QSize(16, 16), QSize(22, 22), QSize(32, 32), QSize(48, 48)};
    for (const QSize& size : sizes) {
        QPixmap pixmap = plain.pixmap(size);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const int dot = std::max(5, size.width() / 3);
        const QRectF mark(size.width() - dot - 0.5, size.height() - dot - 0.5, dot, dot);
        painter.setPen(QPen(Qt::white, std::max(1.0, dot / 6.0)));
        painter.setBrush(QColor(220, 0, 0));
        painter.drawEllipse(mark);
        painter.end();
        marked.addPixmap(pixmap);
    }
    icon_->setIcon(marked);
}

void TrayIcon::SetContextMenu(QMenu* menu) { icon_->setContextMenu(menu); }

QMenu* TrayIcon::ContextMenu() const { return icon_->contextMenu(); }

void TrayIcon::SetVisible(bool visible)
{
    visible_ = visible;
    icon_->setVisible(visible);
}

void TrayIcon::MinimizeToTray()
{
    if (window_)
        window_->hide();
    SetVisible(true);
}

void TrayIcon::RestoreFromTray()
{
    if (window_) {
        window_->showNormal();
        window_->raise();
        window_->activateWindow();
    }
    SetVisible(false);
}

bool TrayIcon::Available()
{
    if (const auto& check = AvailabilityCheck())
        return check();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::SetAvailabilityCheck(std::function<bool()> check) { AvailabilityCheck() = std::move(check); }

void TrayIcon::ProgramEnding() { icon_->hide(); }

}  // namespace orv
