#pragma once
// The tray icon that stands in for the minimised window when "CloseToTray"
// is on: hides the window and shows the program's icon with a tip; a left
// click brings the window back and removes the icon. Its context menu is
// the window's; while the web camera runs, the icon carries a red mark.

#include <QObject>
#include <QString>

#include <functional>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace orv {

class TrayIcon : public QObject {
    Q_OBJECT
public:
    // The longest tip shown, in characters.
    static constexpr int kMaxTipLength = 127;

    // window: the one the tray hides and restores.
    explicit TrayIcon(QWidget* window);
    ~TrayIcon() override;

    // Keeps the first 127 characters; a shown icon gets the new tip at once.
    void SetTip(const QString& text);
    QString Tip() const { return tip_; }

    // Shows or removes the icon.
    void SetVisible(bool visible);
    bool Visible() const { return visible_; }

    // Hides the window and shows the icon.
    void MinimizeToTray();
    // Shows the window normally, in front, and removes the icon.
    void RestoreFromTray();

    // The icon with a red mark in its lower right corner while recording.
    void SetRecording(bool recording);
    bool Recording() const { return recording_; }

    // The menu the icon offers on a right click (owned by the caller).
    void SetContextMenu(QMenu* menu);
    QMenu* ContextMenu() const;

    // Whether the desktop offers a notification area. Without one, the window
    // minimises to the taskbar as usual rather than vanishing.
    static bool Available();
    // Tests decide the answer of Available(); an empty function restores the
    // desktop's answer.
    static void SetAvailabilityCheck(std::function<bool()> check);

    QSystemTrayIcon* Icon() const { return icon_; }

private:
    // The program quits (also when the desktop session ends): take the icon
    // away, keep Visible.
    void ProgramEnding();

    QWidget* window_;
    QSystemTrayIcon* icon_;
    QString tip_;
    bool visible_ = false;
    bool recording_ = false;
};

}  // namespace orv
