#pragma once
// The program's main window: its menu commands, status bar and picture, the
// device monitor's state handler, the photo thread's view of the window, and
// what it shows of the web-camera session it drives.

#include "capture/CaptureView.h"
#include "config/Addresses.h"
#include "config/Settings.h"
#include "phone/DeviceMonitor.h"
#include "webcam/Session.h"

#include <QImage>
#include <QMainWindow>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QProgressBar;
class QScrollArea;
class QStatusBar;
class QTimer;
class QUrl;

namespace orv {

class StatusPanel;
class WorkerThread;
class TrayIcon;
namespace phone {
class DeviceMonitor;
}
namespace video {
class CodecCatalogue;
}

// Hands a URL (the manual, the web site, a mailto: address) to the desktop.
// Tests replace the opener to record what would have been opened; an empty
// function restores QDesktopServices. False when nothing could open it (no
// browser or launcher on the machine).
using UrlOpener = std::function<bool(const QUrl&)>;
void SetUrlOpener(UrlOpener opener);
bool OpenUrl(const QUrl& url);

// The window's words for a fault of the recorder, in the language in force.
QString RecorderProblemText(const video::RecorderProblem& problem);

class MainWindow : public QMainWindow, public CaptureView, public webcam::SessionObserver {
    Q_OBJECT
public:
    // Status-bar panels, by position.
    enum Panel { kLampPanel = 0, kConnectionPanel, kModelPanel, kWorkPanel, kTimePanel, kPanelCount };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Runs once at the end of construction: panel texts, the device monitor
    // when "AutoPhoneConnect" is on, the switch M.
    void ShowInitialState();
    // Sets every menu caption from section MENU of the language in force,
    // and makes the work panel wide enough for that language's status texts
    // and the download bar beside them.
    void ApplyMenuTexts();
    // Paints the lamp: red while a phone is connected, dark green otherwise.
    void DrawIndicator(bool connected);
    bool IndicatorConnected() const { return indicatorConnected_; }

    // The device monitor's state callback (1 connected, 0 not). Runs on the
    // monitor thread: the model query and the suspend command are sent from
    // there, every window change is carried out on the user-interface thread
    // while the monitor waits.
    void PhoneStateChanged(int state);
    // The phone's model name; on failure shows STR5 and gives "Unnoun". Any
    // thread but the user-interface thread while a phone command could block.
    QString GetPhoneModel();

    // End handlers of the capture threads; user-interface thread.
    void PhotoFinished();
    void RecorderFinished();
    // The window was minimised: to the tray when "CloseToTray" is on.
    void HandleMinimised();
    // Another copy of the program was started: this window comes to the
    // front, back from the tray or the taskbar.
    void BringToFront();

    // --- menu commands ---
    void ConnectPhone();
    void DisconnectPhone();
    // Asks for a file name and writes the picture shown there.
    void SavePictureAs();
    void Exit();
    void TakePhoto();
    void RestartPhone();
    void SuspendPhone();
    void StartWebCamera();
    void StopWebCamera();
    void ShowOptions();
    void OpenManual();
    void OpenWebSite();
    void MailAuthor();
    void ShowAbout();
    // Opens the folder the recordings go to in the desktop's file manager.
    void OpenRecordingsFolder();
    // Puts the server's address (and the stream's) on the clipboard.
    void CopyServerAddress();

    // The window's title in the language in force; while the web camera
    // runs, its mark ("● REC", or "● LIVE" when no file is written) and its
    // time come first.
    QString BaseTitle() const;
    // The server's address while it listens, else empty; the stream's
    // address while the stream is on too.
    QString ServerAddress() const { return session->ServerAddress(); }
    QString StreamAddress() const { return session->StreamAddress(); }
    // The file the last recording wrote (empty before the first).
    QString RecordingFile() const { return recordingFile_; }

    // Writes the picture of pictureLabel: filter 1 a bitmap, filter 2 a JPEG,
    // whatever the file name's extension. Nothing is written without a
    // picture. The file appears complete or not at all; a failure is shown.
    bool SavePicture(const QString& fileName, int filterIndex);

    // --- CaptureView (user-interface thread) ---
    // The step's text in the work panel; a failure's in a message box.
    void ShowPhotoStep(PhotoStep step) override;
    void ShowPhotoFailure(PhotoFailure failure) override;
    void ShowPicture(const QImage& picture) override;
    void ShowDownloadProgress(long long bytes) override;
    // --- the web-camera session (user-interface thread) ---
    void SessionStateChanged(webcam::State state) override;
    void SessionStatus(video::RecorderStep step, std::chrono::seconds elapsed) override;
    void SessionFault(const video::RecorderProblem& problem, bool restarting) override;
    void SessionFrame(const QImage& frame, bool show, bool fit) override;
    void SessionVirtualCamera(bool running, const QString& reason) override;
    void SessionEnded(const webcam::Summary& summary) override;
    void SessionMotion(const video::MotionEvent& event) override;
    // A text in the work panel; a modal message box with an OK button.
    void ShowWorkStatus(const QString& text);
    void ShowMessageText(const QString& text);
    // The label and the time when both fit the panel, else the time alone;
    // the panel's tip holds both.
    void ShowRecordingTime(const QString& label, const QString& time);
    // What the picture area says while no phone is connected and none has
    // been for kPhoneHintDelayMs of the program's clock: how to connect
    // one, or that the one there cannot be opened, and how to try the
    // program without one. Runs now and then while the phone is looked for.
    // The delay outlasts the monitor's first find of a phone that is there,
    // mode switch included, so a plugged-in phone never flashes the hint.
    void UpdatePhoneHint();
    static constexpr uint32_t kPhoneHintDelayMs = phone::DeviceMonitor::kLongestFindMs + 4000;

    // The program is asked to end (SIGTERM, SIGINT): a recording is stopped
    // and its file completed first, then the window closes as by Exit and
    // the event loop ends. Messages are no longer shown from then on.
    void EndRequested();
    bool Ending() const { return ending_; }

    void SetPanelText(int panel, const QString& text);
    QString PanelText(int panel) const;
    // The picture that pictureLabel shows (null before the first one).
    const QImage& Picture() const { return picture_; }
    // The panel's text as drawn: whole, or cut to its width.
    QString ShownPanelText(int panel) const;
    QString PanelTip(int panel) const;

    // --- the window's widgets ---
    QMenuBar* mainMenu = nullptr;
    QAction* fileMenuAction = nullptr;
    QAction* connectAction = nullptr;
    QAction* disconnectAction = nullptr;
    QAction* connectSeparator = nullptr;
    QAction* savePictureAction = nullptr;
    QAction* exitSeparator = nullptr;
    QAction* exitAction = nullptr;
    QAction* phoneMenuAction = nullptr;
    QAction* takePhotoAction = nullptr;
    QAction* restartPhoneAction = nullptr;
    QAction* suspendPhoneAction = nullptr;
    QAction* startCameraAction = nullptr;
    QAction* stopCameraAction = nullptr;
    QAction* optionsAction = nullptr;  // a top-level item
    QAction* helpMenuAction = nullptr;  // at the right end of the menu bar
    QAction* manualAction = nullptr;
    QAction* webSiteAction = nullptr;
    QAction* mailAuthorAction = nullptr;
    QAction* aboutSeparator = nullptr;
    QAction* aboutAction = nullptr;
    QAction* openRecordingsAction = nullptr;
    QAction* copyAddressAction = nullptr;
    // The tray icon's menu: restore, take a photo, start and stop the web
    // camera, exit; enabled as the main menu's items are.
    QMenu* trayMenu = nullptr;
    QAction* trayRestoreAction = nullptr;
    QAction* trayPhotoAction = nullptr;
    QAction* trayStartAction = nullptr;
    QAction* trayStopAction = nullptr;
    QAction* trayExitAction = nullptr;
    // Enables and shows the tray menu's items as the main menu's are now
    // (run each time the menu opens).
    void UpdateTrayMenu();
    QScrollArea* pictureArea = nullptr;
    QLabel* pictureLabel = nullptr;
    QStatusBar* statusPanels = nullptr;
    QLabel* connectionLamp = nullptr;
    QProgressBar* downloadBar = nullptr;
    // At the status bar's right end: the server's address while it listens.
    QLabel* addressPanel = nullptr;
    // Before it, while the web camera runs: the PipeWire camera that was
    // asked for cannot be offered, or waits for PipeWire; hidden otherwise.
    StatusPanel* virtualCameraPanel = nullptr;
    // Before that, once a recording on motion has had an event in this run:
    // the time it began; hidden otherwise.
    StatusPanel* motionPanel = nullptr;
    // Over the picture area: what to do while no phone is found.
    QLabel* phoneHint = nullptr;
    // The web camera: recorder, picture server and PipeWire camera.
    webcam::Session* session = nullptr;
    TrayIcon* tray = nullptr;
    // The catalogue of video encoders, for the options dialog and the
    // recordings of this run.
    std::unique_ptr<video::CodecCatalogue> codecs;
    // The monitor this window made; it frees itself, the window only drops
    // the reference.
    phone::DeviceMonitor* deviceMonitor = nullptr;
    // A photo is being taken or the web camera runs: the camera is in use.
    bool CaptureRunning() const { return session->CurrentState() != webcam::State::Idle || photoRunning_; }
    // How long closing the window waits for the restart sent on the way out
    // ("AutoRestart"); a phone that does not answer is given up after it.
    std::chrono::milliseconds exitRestartWait{1000};

protected:
    // The close rules (MayClose) for every way of closing the window.
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    // While the web camera runs, asks whether to stop it and exit; Yes
    // stops it, and the window closes once its file is complete.
    bool MayClose();
    bool eventFilter(QObject* watched, QEvent* event) override;

    // The settings, as every part of the window reads and writes them.
    Settings settings_;

private:
    // What the monitor thread may reach after the window has gone: the
    // pointer is cleared by the destructor and read only on the
    // user-interface thread.
    struct Life {
        MainWindow* form = nullptr;
    };

    void BuildMenu();
    void BuildStatusBar();
    void MakeDeviceMonitor();
    void ShowNoPhone();
    // The menus, title and tray as the session's state and the phone say.
    void ShowCameraState();
    void FitWorkPanel();
    // The connection, model and work panels keep the width of their longest
    // texts while the status bar has the room, so that nothing moves as the
    // texts change; in a narrower window they ask only for what they show.
    void FitStatusPanels();
    void FitConnectionPanel();
    // Outer size: the picture's size + 25 by + 80, the picture at the top left.
    void FitToPicture();
    void FinishEnding();
    // The work panel names the file the last recording wrote (its tip the
    // whole path of each file).
    void ShowSavedFiles();
    void ShowVirtualCameraPanel();
    void ShowMotionPanel();
    // Disconnect is offered while a phone is connected and the web camera
    // is idle.
    void EnableDisconnect();
    QString PhoneHintText() const;
    // Starts the web camera; automatic: the program's own start (switch S),
    // whose recording never replaces a file and starts again after a fault.
    void LaunchWebCamera(bool automatic);
    QString AboutText() const;
    // Panels, title, tray and Qt's own texts in the language in force.
    void RelabelWindow();
    void UpdateTitle();
    void ShowServerAddress();
    QString RecordingsFolder() const;
    static void HandlePhoneState(const std::shared_ptr<Life>& life, int state);
    static QString ReadPhoneModel(const std::shared_ptr<Life>& life);

    std::shared_ptr<Life> life_;
    StatusPanel* panels_[kPanelCount] = {};
    QImage picture_;
    int downloadMaximum_ = 0;
    int downloadBarWidth_ = 0;
    QString downloadBytesLabel_;
    QString downloadKilobytesLabel_;
    bool indicatorConnected_ = false;
    bool restartSent_ = false;
    bool photoRunning_ = false;
    WorkerThread* photoThread_ = nullptr;  // the photo under way, until PhotoFinished
    bool ending_ = false;
    QString saveFolder_;  // where the last picture was saved in this run
    QString model_;            // the connected phone's model, for relabelling
    QString recordingTime_;    // " hh:nn:ss" while the web camera runs
    QString recordingFile_;    // the last recording's file
    QStringList savedFiles_;   // every file the last recording wrote
    bool workShowsSaved_ = false;
    // What the PipeWire camera reported at the start: running (with a
    // warning) or not, and why.
    bool virtualCameraRunning_ = false;
    QString virtualCameraReason_;
    // When the phone was last there, or the search began (program's clock).
    uint32_t phoneAwaySince_ = 0;
    QTimer* phoneHintTimer_ = nullptr;
    bool fitPanelsPending_ = false;
    // Recording on motion: the web camera waits for something to move (the
    // title's mark says so), and the start of the last event in this run.
    bool waitingForMotion_ = false;
    std::optional<std::time_t> lastMotion_;
    // The fault the web camera pauses after, for the work panel.
    std::optional<video::RecorderProblem> pausedFor_;
};

}  // namespace orv
