#pragma once
// The options dialog: every setting of the program on four tabs, the
// language, the AVI file or folder, the compressor with its configuration,
// and a frame-rate test with the phone. It is made for one opening: load the
// settings, run it modally, and on OK write all of them back.

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>

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
class TCodecs;
}

class TOptionsDlg : public QDialog {
    Q_OBJECT
public:
    // The range of the server port's spin control.
    static constexpr int kMinPort = 80;
    static constexpr int kMaxPort = 32767;

    // settings: the window's accessors, read and written by this dialog.
    // codecs: the compressor catalogue (none: an empty list).
    // captureRunning: whether a photo or a recording is under way; the
    // frame-rate test would switch the camera off under it.
    TOptionsDlg(QWidget* parent, Settings& settings, video::TCodecs* codecs, std::function<bool()> captureRunning);
    ~TOptionsDlg() override;

    // Selects the tab of "OptionsTabIndex", loads every control from its
    // setting and fills the language list.
    void LoadSettings();
    // Writes the twenty-four settings in their fixed order, then
    // "ServerStream", "RecordToFile", "VirtualCamera", "AviSplitMinutes",
    // "AviKeepMegabytes", "ServerLocalOnly", "ServerUser" and
    // "ServerPasswordHash" (the hash of a typed password, else the stored
    // one, empty after Button7). Nothing is written,
    // and false returned, when a number field does not convert or is out of
    // its range. False too when the settings file refused a value, with the
    // file and the reason in *failure.
    bool SaveSettings(QString* failure = nullptr);

    // Relabels the tabs, labels, check boxes and lighting list from section
    // OPTIONS in the language selected in the list; runs when shown.
    void FormShow();
    // The enabling rules of "Auto fps" and "Auto file name:".
    void CheckBox8Click();
    void CheckBox9Click();
    void Button1Click();  // choose the AVI file
    void Button6Click();  // choose the folder of dated AVI files
    void Button2Click();  // frame-rate test
    // Empties the user and password fields; OK then removes the stored
    // user name and password hash, unless a new password is typed.
    void Button7Click();
    void Button3Click();  // compressor configuration
    void Button4Click();  // compressor about box

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

    // --- the form's components ---
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;  // phone
    QWidget* TabSheet2 = nullptr;  // program
    QWidget* TabSheet3 = nullptr;  // video
    QWidget* TabSheet4 = nullptr;  // server

    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLabel* Label7 = nullptr;
    QLineEdit* Edit5 = nullptr;
    QLabel* Label8 = nullptr;
    QComboBox* ComboBox4 = nullptr;
    QLabel* Label9 = nullptr;
    QComboBox* ComboBox3 = nullptr;
    QCheckBox* CheckBox1 = nullptr;

    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    QCheckBox* CheckBox5 = nullptr;
    QCheckBox* CheckBox7 = nullptr;
    QCheckBox* CheckBox11 = nullptr;
    QLabel* Label11 = nullptr;
    QComboBox* ComboBox5 = nullptr;

    QCheckBox* CheckBox9 = nullptr;
    QLineEdit* Edit6 = nullptr;
    QPushButton* Button6 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QPushButton* Button1 = nullptr;
    QCheckBox* CheckBox8 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* Edit4 = nullptr;
    QPushButton* Button2 = nullptr;
    QCheckBox* CheckBox6 = nullptr;
    QLabel* Label6 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    QCheckBox* CheckBox13 = nullptr;  // record into an AVI file
    QCheckBox* CheckBox14 = nullptr;  // the PipeWire camera
    QLabel* Label12 = nullptr;
    QSpinBox* SpinEdit1 = nullptr;  // "AviSplitMinutes"
    QLabel* Label13 = nullptr;
    QSpinBox* SpinEdit2 = nullptr;  // "AviKeepMegabytes"

    QCheckBox* CheckBox10 = nullptr;
    QLabel* Label10 = nullptr;
    QSpinBox* Edit7 = nullptr;  // the number field and its spin buttons (UpDown1)
    QCheckBox* CheckBox12 = nullptr;  // the live MJPEG stream
    QCheckBox* CheckBox15 = nullptr;  // "ServerLocalOnly"
    QLabel* Label14 = nullptr;
    QLineEdit* Edit8 = nullptr;  // "ServerUser"
    QLabel* Label15 = nullptr;
    QLineEdit* Edit9 = nullptr;  // a new password, never shown; empty keeps the stored hash
    QPushButton* Button7 = nullptr;  // removes protection

    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

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
    struct Numbers {
        int timeout = 0;
        double fps = 0;
        int cameraInitTime = 0;
    };
    // The three number fields converted, or the first that fails or is out
    // of its range, with a message that names the field and its range (and
    // the field, to put the cursor there).
    std::optional<Numbers> ReadNumbers(QString* error, QLineEdit** field) const;

    // What OK stores as "ServerPasswordHash": the hash of a typed password,
    // else nothing after Button7, else the hash loaded with the dialog.
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
    video::TCodecs* codecs_;
    std::function<bool()> captureRunning_;
    bool testRunning_ = false;
    std::shared_ptr<RateRun> rateRun_;  // the test under way
    bool clearProtection_ = false;      // Button7 pressed since loading
    QString loadedHash_;                // "ServerPasswordHash" as loaded
};

}  // namespace orv
