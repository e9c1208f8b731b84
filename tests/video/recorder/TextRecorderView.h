#pragma once
// A recorder view that turns the recorder's reports into the window's
// built-in texts, written out here, so that the recorder's tests check what
// the window shows: the work panel's text, the recording time after its
// label, the messages and the frames.

#include "video/RecorderView.h"

#include <QImage>
#include <QString>

namespace orv::test {

class TextRecorderView : public video::RecorderView {
public:
    static inline const QString kCameraStarting = QStringLiteral("Инициализация камеры...");
    static inline const QString kShooting = QStringLiteral("Статус: Снимаю");
    static inline const QString kDeleting = QStringLiteral("Удаляю...");
    static inline const QString kFrameTaken = QStringLiteral("Деинициализация камеры...");
    static inline const QString kCameraStopped = QStringLiteral("Статус: не занят.");
    static inline const QString kLate = QStringLiteral("Статус: телефон не отвечает, жду...");
    static inline const QString kTimeLabel = QStringLiteral("Время съёмки:");
    static inline const QString kMotionWaiting = QStringLiteral("Жду движения");
    static inline const QString kMotionRecording = QStringLiteral("Движение: запись");

    void RecorderStatus(video::RecorderStep step, std::chrono::seconds elapsed) final
    {
        using video::RecorderStep;
        QString text = pausedFor_.simplified();
        switch (step) {
        case RecorderStep::CameraStarting: text = kCameraStarting; break;
        case RecorderStep::Shooting: text = kShooting; break;
        case RecorderStep::Deleting: text = kDeleting; break;
        case RecorderStep::FrameTaken: text = kFrameTaken; break;
        case RecorderStep::CameraStopped: text = kCameraStopped; break;
        case RecorderStep::WaitingForMotion: text = kMotionWaiting; break;
        case RecorderStep::MotionRecording: text = kMotionRecording; break;
        case RecorderStep::PhoneLate: ShowWorkStatus(kLate); return;  // the work panel alone
        case RecorderStep::RestartPause:
        case RecorderStep::WaitingForPhone: break;
        }
        ShowWorkStatus(text);
        const long long seconds = elapsed.count();
        ShowRecordingTime(kTimeLabel, QString::asprintf(" %02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                                                        seconds % 60));
    }
    void RecorderFailed(const video::RecorderProblem& problem, bool restarting) final
    {
        if (restarting)
            pausedFor_ = Text(problem);
        else
            ShowMessageText(Text(problem));
    }
    void RecorderFrame(const QImage& frame, bool show, bool fit) final { ShowFrame(frame, show, fit); }

    static QString Text(const video::RecorderProblem& problem)
    {
        using video::RecorderFault;
        switch (problem.fault) {
        case RecorderFault::NoPhone: return QStringLiteral("Телефон не подключён!");
        case RecorderFault::CameraStartFailed: return QStringLiteral("Инициализация камеры невозможна!");
        case RecorderFault::CameraError: return QStringLiteral("Ошибка камеры!");
        case RecorderFault::FileFailed:
            return QStringLiteral("Не могу создать видео файл!\n%1: %2").arg(problem.file, problem.reason);
        case RecorderFault::DiskFull:
            return QStringLiteral("Диск заполнен, запись остановлена: %1 (%2)").arg(problem.file, problem.reason);
        case RecorderFault::EncoderRefused: return QStringLiteral("Формат не поддерживается кодеком!");
        }
        return {};
    }

protected:
    virtual void ShowWorkStatus(const QString& text) = 0;
    virtual void ShowRecordingTime(const QString& label, const QString& time) = 0;
    virtual void ShowMessageText(const QString& text) = 0;
    virtual void ShowFrame(const QImage& frame, bool show, bool fit) = 0;

private:
    QString pausedFor_;
};

}  // namespace orv::test
