#include "Dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

#include <atomic>

namespace orv {
namespace {

constexpr int kAboutIconSize = 64;

class QtDialogs final : public Dialogs {
public:
    void ShowMessage(QWidget* parent, const QString& caption, const QString& text, MessageKind kind) override
    {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        switch (kind) {
        case MessageKind::Plain: icon = QMessageBox::NoIcon; break;
        case MessageKind::Information: icon = QMessageBox::Information; break;
        case MessageKind::Warning: icon = QMessageBox::Warning; break;
        case MessageKind::Error: icon = QMessageBox::Critical; break;
        case MessageKind::About: break;
        case MessageKind::Question: icon = QMessageBox::Question; break;
        }
        QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
        if (kind == MessageKind::About)
            box.setIconPixmap(QApplication::windowIcon().pixmap(kAboutIconSize));
        box.exec();
    }

    bool Ask(QWidget* parent, const QString& caption, const QString& text) override
    {
        QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    }

    std::optional<SaveAnswer> SaveFile(QWidget* parent, const SaveRequest& request) override
    {
        QFileDialog dialog(parent, request.title, request.fileName);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilters(request.filters);
        if (request.filterIndex >= 1 && request.filterIndex <= request.filters.size())
            dialog.selectNameFilter(request.filters.at(request.filterIndex - 1));
        if (!request.defaultSuffix.isEmpty())
            dialog.setDefaultSuffix(request.defaultSuffix);
        const auto suffixFor = [&request](const QString& filter) {
            const qsizetype index = request.filters.indexOf(filter);
            if (index >= 0 && index < request.suffixes.size())
                return request.suffixes.at(index);
            return request.defaultSuffix;
        };
        if (!request.suffixes.isEmpty()) {
            dialog.setDefaultSuffix(suffixFor(dialog.selectedNameFilter()));
            QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                             [&dialog, suffixFor](const QString& filter) { dialog.setDefaultSuffix(suffixFor(filter)); });
        }
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        const int chosen = static_cast<int>(request.filters.indexOf(dialog.selectedNameFilter())) + 1;
        return SaveAnswer{dialog.selectedFiles().constFirst(), chosen > 0 ? chosen : 1};
    }

    std::optional<QString> BrowseFolder(QWidget* parent, const QString& initialFolder) override
    {
        const QString folder = QFileDialog::getExistingDirectory(parent, QString(), initialFolder);
        if (folder.isEmpty())
            return std::nullopt;
        return folder;
    }

    int RunModal(QDialog* dialog) override { return dialog->exec(); }
};

// Answers without a screen: messages go to a file, every question is
// answered with Cancel, modal forms with their default (Rejected).
class LogDialogs final : public Dialogs {
public:
    explicit LogDialogs(QString path) : path_(std::move(path)) {}

    void ShowMessage(QWidget*, const QString& caption, const QString& text, MessageKind kind) override
    {
        static const char* const kKinds[] = {"plain", "information", "warning", "error", "about", "question"};
        QFile file(path_);
        if (file.open(QIODevice::Append | QIODevice::Text)) {
            const QString line = QStringLiteral("%1\t%2\t%3\n")
                                     .arg(QLatin1String(kKinds[static_cast<int>(kind)]), caption,
                                          QString(text).replace(QLatin1Char('\n'), QLatin1String("\\n")));
            file.write(line.toUtf8());
        }
    }
    bool Ask(QWidget* parent, const QString& caption, const QString& text) override
    {
        ShowMessage(parent, caption, text, MessageKind::Question);
        return false;
    }
    std::optional<SaveAnswer> SaveFile(QWidget*, const SaveRequest&) override { return std::nullopt; }
    std::optional<QString> BrowseFolder(QWidget*, const QString&) override { return std::nullopt; }
    int RunModal(QDialog*) override { return QDialog::Rejected; }

private:
    QString path_;
};

std::atomic<Dialogs*> gDialogs{nullptr};

}  // namespace

Dialogs& TheDialogs()
{
    if (Dialogs* current = gDialogs.load())
        return *current;
    static Dialogs* const standard = [] {
        const QString log = qEnvironmentVariable("ORVELLO_DIALOG_LOG");
        return log.isEmpty() ? static_cast<Dialogs*>(new QtDialogs) : new LogDialogs(log);
    }();
    return *standard;
}

void SetDialogs(Dialogs* dialogs) { gDialogs.store(dialogs); }

void RecordingDialogs::ShowMessage(QWidget* parent, const QString& caption, const QString& text, MessageKind kind)
{
    Message message{caption, text, kind, parent};
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
    }
    if (onMessage)
        onMessage(message);
}

bool RecordingDialogs::Ask(QWidget* parent, const QString& caption, const QString& text)
{
    ShowMessage(parent, caption, text, MessageKind::Question);
    std::lock_guard lock(mutex_);
    if (answers_.empty())
        return false;
    const bool yes = answers_.front();
    answers_.pop_front();
    return yes;
}

std::optional<SaveAnswer> RecordingDialogs::SaveFile(QWidget*, const SaveRequest& request)
{
    std::lock_guard lock(mutex_);
    saveRequests.push_back(request);
    if (saves_.empty() || !saves_.front()) {
        if (!saves_.empty())
            saves_.pop_front();
        return std::nullopt;
    }
    const SaveAnswer answer = *saves_.front();
    saves_.pop_front();
    return answer;
}

std::optional<QString> RecordingDialogs::BrowseFolder(QWidget*, const QString& initialFolder)
{
    std::lock_guard lock(mutex_);
    folderRequests.push_back(initialFolder);
    if (folders_.empty() || !folders_.front()) {
        if (!folders_.empty())
            folders_.pop_front();
        return std::nullopt;
    }
    const QString answer = *folders_.front();
    folders_.pop_front();
    return answer;
}

int RecordingDialogs::RunModal(QDialog* dialog) { return onModal ? onModal(dialog) : QDialog::Rejected; }

std::vector<RecordingDialogs::Message> RecordingDialogs::Messages() const
{
    std::lock_guard lock(mutex_);
    return messages_;
}

QStringList RecordingDialogs::MessageTexts() const
{
    QStringList texts;
    for (const Message& m : Messages())
        texts << m.text;
    return texts;
}

void RecordingDialogs::Clear()
{
    std::lock_guard lock(mutex_);
    messages_.clear();
    saveRequests.clear();
    folderRequests.clear();
    answers_.clear();
}

void RecordingDialogs::QueueSave(std::optional<SaveAnswer> answer)
{
    std::lock_guard lock(mutex_);
    saves_.push_back(std::move(answer));
}

void RecordingDialogs::QueueAnswer(bool yes)
{
    std::lock_guard lock(mutex_);
    answers_.push_back(yes);
}

void RecordingDialogs::QueueFolder(std::optional<QString> answer)
{
    std::lock_guard lock(mutex_);
    folders_.push_back(std::move(answer));
}

}  // namespace orv
