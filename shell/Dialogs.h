#pragma once
// Every message box, save dialog, folder browser and modal form of the
// program goes through this interface, so that tests run without a display
// and record what would have been shown.

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

class QDialog;
class QWidget;

namespace orv {

// About shows the program's own icon. Question is a Yes/No question (Ask).
enum class MessageKind { Plain, Information, Warning, Error, About, Question };

struct SaveRequest {
    QString title;
    QString fileName;     // proposed name
    QStringList filters;  // e.g. "Bitmaps(*.bmp)", "Jpeg(*.jpg)"
    int filterIndex = 1;  // 1-based, as chosen at opening
    QString defaultSuffix;
    // Per filter, the extension that a name typed without one gets while
    // that filter is chosen (in place of defaultSuffix).
    QStringList suffixes;
};

struct SaveAnswer {
    QString fileName;
    int filterIndex = 1;  // 1-based filter the user chose
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A modal box with an OK button.
    virtual void ShowMessage(QWidget* parent, const QString& caption, const QString& text, MessageKind kind) = 0;
    // A modal Yes/No question; true for Yes. No is the default button.
    virtual bool Ask(QWidget* parent, const QString& caption, const QString& text) = 0;
    virtual std::optional<SaveAnswer> SaveFile(QWidget* parent, const SaveRequest& request) = 0;
    virtual std::optional<QString> BrowseFolder(QWidget* parent, const QString& initialFolder) = 0;
    // Runs a modal form; returns its QDialog::DialogCode.
    virtual int RunModal(QDialog* dialog) = 0;
};

// The dialogs in force: real Qt dialogs, or, with $ORVELLO_DIALOG_LOG set,
// a log that writes each message and question as a line to that file and
// answers everything at once with OK, No or Cancel (for tests of the whole
// program).
Dialogs& TheDialogs();
void SetDialogs(Dialogs* dialogs);

// For tests: records every message and answers from queues.
class RecordingDialogs : public Dialogs {
public:
    struct Message {
        QString caption;
        QString text;
        MessageKind kind;
        const QWidget* parent = nullptr;  // for comparison only
    };

    void ShowMessage(QWidget* parent, const QString& caption, const QString& text, MessageKind kind) override;
    // Recorded as a message of kind Question.
    bool Ask(QWidget* parent, const QString& caption, const QString& text) override;
    std::optional<SaveAnswer> SaveFile(QWidget* parent, const SaveRequest& request) override;
    std::optional<QString> BrowseFolder(QWidget* parent, const QString& initialFolder) override;
    int RunModal(QDialog* dialog) override;

    std::vector<Message> Messages() const;
    QStringList MessageTexts() const;
    void Clear();

    // Answers, used in order; an empty queue means Cancel (No).
    void QueueSave(std::optional<SaveAnswer> answer);
    void QueueFolder(std::optional<QString> answer);
    void QueueAnswer(bool yes);
    // Called with each modal form; returns its result (default: Rejected).
    std::function<int(QDialog*)> onModal;
    // Called with each message after it has been recorded.
    std::function<void(const Message&)> onMessage;
    std::vector<SaveRequest> saveRequests;
    // The folder each folder browser was opened at.
    std::vector<QString> folderRequests;

private:
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
    std::deque<std::optional<SaveAnswer>> saves_;
    std::deque<std::optional<QString>> folders_;
    std::deque<bool> answers_;
};

}  // namespace orv
