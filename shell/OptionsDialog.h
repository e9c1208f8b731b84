#pragma once
// The options dialog: every setting of the program on four tabs, the
// language, the AVI file or folder, the compressor with its configuration,
// and a frame-rate test with the phone. It is made for one opening: load the
// settings, run it modally, and on OK write all of them back.

#include <QDialog>

#include <functional>
#include <memory>
#include <span>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace orv {

class Settings;
namespace video {
class CodecCatalogue;
}

class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    // The range of the server port's spin control.
    static constexpr int kMinPort = 80;
    static constexpr int kMaxPort = 32767;

    // settings: the window's accessors, read and written by this dialog.
    // codecs: the compressor catalogue (none: an empty list).
    // captureRunning: whether a photo or a recording is under way; the
    // frame-rate test would switch the camera off under it.
    OptionsDialog(QWidget* parent, Settings& settings, video::CodecCatalogue* codecs, std::function<bool()> captureRunning);
    ~OptionsDialog() override;

    // Loads every control from its setting (the tab shown from
    // "OptionsTabIndex") and fills the language and encoder lists.
    void LoadSettings();
    // Writes every setting in the order of ORV_SETTINGS (config/Settings.h).
    // "ServerPasswordHash" is the hash of a typed password, else the stored
    // one, empty after clearPasswordButton. Nothing is written, and false
    // returned, when an enabled number field does not convert or is out of
    // its range; a disabled one (fps under Auto fps) that holds no number
    // leaves its setting as stored. False too when the settings file refused
    // a value, with the file and the reason in *failure.
    bool SaveSettings(QString* failure = nullptr);

    // Relabels the tabs, labels, check boxes, buttons and lighting list from
    // section OPTIONS in the language selected in the list; runs when shown.
    void Relabel();
    // The enabling rules of "Auto fps", "Auto file name:" and recording on
    // motion (its threshold and keep time are in use only with it).
    void AutoFpsToggled();
    void DatedNamesToggled();
    void RecordOnMotionToggled();
    void ChooseAviFile();  // choose the AVI file
    void ChooseAviFolder();  // choose the folder of dated AVI files
    void MeasureFrameRate();  // frame-rate test
    // Empties the user and password fields; OK then removes the stored
    // user name and password hash, unless a new password is typed.
    void RemoveProtection();
    void ConfigureEncoder();  // compressor configuration
    void AboutEncoder();  // compressor about box

    // Whether the frame-rate test is talking to the phone.
    bool TestRunning() const { return testRunning_; }
    // The program is ending (SIGTERM, the session's end): a frame-rate test
    // under way is given up at once, its result unused, and the dialog can
    // close. Its worker ends on its own; the program does not wait for it.
    void EndTest();

    // The rate as the frame-rate field shows it: the shortest form with up
    // to 15 significant digits, in the user's locale, without grouping.
    static QString FormatRate(double framesPerSecond);
    // The catalogue position of the encoder chosen in the list (-1: none).
    int SelectedCodec() const;

    // --- the dialog's widgets ---
    QTabWidget* tabs = nullptr;
    QWidget* phoneTab = nullptr;
    QWidget* programTab = nullptr;
    QWidget* videoTab = nullptr;
    QWidget* serverTab = nullptr;

    QLabel* phoneFileLabel = nullptr;
    QLineEdit* phoneFileEdit = nullptr;
    QLabel* pictureSizeLabel = nullptr;
    QComboBox* pictureSizeList = nullptr;
    QLabel* shotTimeoutLabel = nullptr;
    QLineEdit* shotTimeoutEdit = nullptr;
    QLabel* cameraInitLabel = nullptr;
    QLineEdit* cameraInitEdit = nullptr;
    QLabel* lightingLabel = nullptr;
    QComboBox* lightingList = nullptr;
    QLabel* exposureLabel = nullptr;
    QComboBox* exposureList = nullptr;
    QCheckBox* autoSuspendCheck = nullptr;

    QCheckBox* closeToTrayCheck = nullptr;
    QCheckBox* autoRestartCheck = nullptr;
    QCheckBox* autoResizeCheck = nullptr;
    QCheckBox* showSplashCheck = nullptr;
    QCheckBox* dateStampCheck = nullptr;
    QCheckBox* autoConnectCheck = nullptr;
    QLabel* languageLabel = nullptr;
    QComboBox* languageList = nullptr;

    QCheckBox* datedNamesCheck = nullptr;
    QLineEdit* aviFolderEdit = nullptr;
    QPushButton* chooseFolderButton = nullptr;
    QLabel* aviFileLabel = nullptr;
    QLineEdit* aviFileEdit = nullptr;
    QPushButton* chooseFileButton = nullptr;
    QCheckBox* autoFpsCheck = nullptr;
    QLabel* fpsLabel = nullptr;
    QLineEdit* fpsEdit = nullptr;
    QPushButton* fpsTestButton = nullptr;
    QCheckBox* duplicatePictureCheck = nullptr;
    QLabel* encoderLabel = nullptr;
    QComboBox* encoderList = nullptr;
    QPushButton* configureEncoderButton = nullptr;
    QPushButton* aboutEncoderButton = nullptr;
    QCheckBox* recordToFileCheck = nullptr;
    QCheckBox* virtualCameraCheck = nullptr;
    QLabel* splitMinutesLabel = nullptr;
    QSpinBox* splitMinutesSpin = nullptr;
    QLabel* keepMegabytesLabel = nullptr;
    QSpinBox* keepMegabytesSpin = nullptr;
    QCheckBox* recordOnMotionCheck = nullptr;
    QLabel* motionThresholdLabel = nullptr;
    QLineEdit* motionThresholdEdit = nullptr;
    QLabel* motionKeepLabel = nullptr;
    QLineEdit* motionKeepEdit = nullptr;

    QCheckBox* serverEnabledCheck = nullptr;
    QLabel* portLabel = nullptr;
    QSpinBox* portSpin = nullptr;
    QCheckBox* streamCheck = nullptr;
    QCheckBox* localOnlyCheck = nullptr;
    QLabel* userLabel = nullptr;
    QLineEdit* userEdit = nullptr;
    QLabel* passwordLabel = nullptr;
    QLineEdit* passwordEdit = nullptr;  // a new password, never shown; empty keeps the stored hash
    QPushButton* clearPasswordButton = nullptr;  // removes protection

    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

public slots:
    // OK closes only when every number field converts; otherwise the
    // conversion's message is shown and the dialog stays as the user left it.
    void accept() override;
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The settings and the controls that show them, in the order of writing.
    struct Row;
    static std::span<const Row> Rows();
    // The control of a row.
    QWidget* ControlOf(const Row& row) const;
    // Makes every control of the rows, with its label, and the buttons.
    void MakeControls();

    // The first enabled number field that does not convert or is out of its
    // range, with a message that names it by its label and gives the range;
    // nullptr when there is none.
    QLineEdit* InvalidNumberField(QString* message) const;

    // The settings whose controls need more than their plain value: the
    // encoder list holds catalogue positions; the user name is written
    // without the spaces around it; the password field shows nothing of the
    // stored hash.
    void ShowEncoders(const int& codec);
    void ShowUserName(const QString& user);
    QString UserName() const;
    void KeepStoredHash(const QString& hash);
    // What OK stores as "ServerPasswordHash": the hash of a typed password,
    // else nothing after clearPasswordButton, else the hash loaded with the dialog.
    QString NewPasswordHash() const;

    void BuildPhoneTab();
    void BuildProgramTab();
    void BuildVideoTab();
    void BuildServerTab();
    void ShowMessage(const QString& text);
    struct RateRun;
    // Runs work on a worker thread; until it ends, this thread keeps
    // repainting, while input to the dialog is held back and it cannot be
    // closed. False when the test was given up (EndTest) before the worker
    // ended.
    bool RunWithInputHeld(const std::shared_ptr<RateRun>& run, std::function<void(RateRun&)> work);

    Settings& settings_;
    video::CodecCatalogue* codecs_;
    std::function<bool()> captureRunning_;
    bool testRunning_ = false;
    std::shared_ptr<RateRun> rateRun_;  // the test under way
    bool clearProtection_ = false;      // clearPasswordButton pressed since loading
    QString loadedHash_;                // "ServerPasswordHash" as loaded
};

}  // namespace orv
