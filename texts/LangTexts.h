#pragma once
// The built-in (Russian) texts of the user interface with their language-file
// section and key, in one table, so that the main window, the worker threads
// and the options dialog look up the same entries. A language file replaces
// a text by section and key; the built-in text is the fallback.

#include "Lang.h"

#include <QString>

#include <array>
#include <span>

namespace orv {

struct LangEntry {
    const char* section;  // "MENU", "OPTIONS" or "STRS"
    const char* key;      // plain ASCII word
    const char* builtIn;  // UTF-8
};

// LangText / LangTextAt for one entry of the tables below.
QString LangText(const LangEntry& entry);
QString LangTextAt(int index, const LangEntry& entry);
// LangText for each of entries, in their order, with the language folder
// listed and the chosen file read once for all of them.
QStringList LangTexts(std::span<const LangEntry> entries);

namespace txt {

// --- main menu, in the order in which the captions are applied; "&" marks
// each item's accelerator letter ---
inline constexpr LangEntry kMenuFile{"MENU", "FILE", "&Файл"};
inline constexpr LangEntry kMenuConnect{"MENU", "CONNECT", "&Подключить"};
inline constexpr LangEntry kMenuDisconnect{"MENU", "DISCONNECT", "&Отключить"};
inline constexpr LangEntry kMenuSave{"MENU", "SAVE", "&Сохранить"};
inline constexpr LangEntry kMenuExit{"MENU", "EXIT", "&Выход"};
inline constexpr LangEntry kMenuPhone{"MENU", "PHONE", "&Телефон"};
inline constexpr LangEntry kMenuCapture{"MENU", "CAPTURE", "&Снять"};
inline constexpr LangEntry kMenuRestart{"MENU", "RESTART", "&Перезагрузить"};
inline constexpr LangEntry kMenuSuspend{"MENU", "SUSPEND", "S&uspend"};
inline constexpr LangEntry kMenuCameraStart{"MENU", "CAMERA_START", "&Web Camera - START"};
inline constexpr LangEntry kMenuCameraStop{"MENU", "CAMERA_STOP", "&Web Camera - STOP"};
inline constexpr LangEntry kMenuOptions{"MENU", "OPTIONS", "&Настройки"};
inline constexpr LangEntry kMenuHelp{"MENU", "HELP", "&Справка"};
inline constexpr LangEntry kMenuHelpFile{"MENU", "HELP1", "Справка &Orvello"};
inline constexpr LangEntry kMenuWebSite{"MENU", "HELP2", "Сай&т программы"};
inline constexpr LangEntry kMenuMailAuthor{"MENU", "HELP3", "&Написать автору на мыло про глюки и прочие недочёты"};
inline constexpr LangEntry kMenuAbout{"MENU", "ABOUT", "&О программе"};

// --- options dialog: tabs, labels, check boxes, buttons and lists ---
inline constexpr LangEntry kOptPhoneTab{"OPTIONS", "PANEL1", "Телефон"};
inline constexpr LangEntry kOptProgramTab{"OPTIONS", "PANEL2", "Программа"};
inline constexpr LangEntry kOptVideoTab{"OPTIONS", "PANEL3", "Видео"};
inline constexpr LangEntry kOptServerTab{"OPTIONS", "PANEL4", "Сервер"};
inline constexpr LangEntry kOptTempFile{"OPTIONS", "S1", "Временно сохранять в:"};
inline constexpr LangEntry kOptPictureType{"OPTIONS", "S2", "Тип картинки"};
inline constexpr LangEntry kOptShotTimeout{"OPTIONS", "S3", "Таймаут после съёмки (мс):"};
inline constexpr LangEntry kOptInitTimeout{"OPTIONS", "S4", "Таймаут инициализации (мс):"};
inline constexpr LangEntry kOptLighting{"OPTIONS", "S5", "Состояния освещения:"};
inline constexpr LangEntry kOptExposure{"OPTIONS", "S6", "Экспозиция:"};
inline constexpr LangEntry kOptCloseToTray{"OPTIONS", "S7", "Сворачивать в трей"};
inline constexpr LangEntry kOptAutoRestart{"OPTIONS", "S8", "Авто перезагрузка телефона при выходе из программы"};
inline constexpr LangEntry kOptAutoFormResize{"OPTIONS", "S9", "Авто размер формы"};
inline constexpr LangEntry kOptShowSplash{"OPTIONS", "S10", "Показывать заставку при старте"};
inline constexpr LangEntry kOptDateStamp{"OPTIONS", "S11", "Подписывать снимки"};
inline constexpr LangEntry kOptAutoConnect{"OPTIONS", "S12", "Авто подключение телефона"};
inline constexpr LangEntry kOptLanguage{"OPTIONS", "S13", "Язык:"};
inline constexpr LangEntry kOptRecordFile{"OPTIONS", "S14", "Записывать в файл:"};
inline constexpr LangEntry kOptDuplicatePicture{"OPTIONS", "S15", "Дублировать картинку на экран во время съёмки"};
inline constexpr LangEntry kOptCompressor{"OPTIONS", "S16", "Компрессор:"};
inline constexpr LangEntry kOptConfigure{"OPTIONS", "S17", "Настроить"};
inline constexpr LangEntry kOptServerEnabled{"OPTIONS", "S18", "Запускать сервер"};
inline constexpr LangEntry kOptPort{"OPTIONS", "S19", "Порт:"};
inline constexpr LangEntry kOptLightAuto{"OPTIONS", "S20", "Авто"};
inline constexpr LangEntry kOptLightSunny{"OPTIONS", "S21", "Солнечно"};
inline constexpr LangEntry kOptLightCloudy{"OPTIONS", "S22", "Облачное"};
inline constexpr LangEntry kOptLightIncandescent{"OPTIONS", "S23", "Лампы накаливания"};
inline constexpr LangEntry kOptLightFluorescent{"OPTIONS", "S24", "Люминисц. лампы"};
inline constexpr LangEntry kOptLightNight{"OPTIONS", "S25", "Ночная съёмка"};
inline constexpr LangEntry kOptServerStream{"OPTIONS", "S26", "Видеопоток MJPEG по адресу /stream.mjpg"};
inline constexpr LangEntry kOptRecordToFile{"OPTIONS", "RECORD_TO_FILE", "Записывать видео в файл AVI"};
inline constexpr LangEntry kOptVirtualCamera{"OPTIONS", "VIRTUAL_CAMERA", "Камера PipeWire для других программ"};
inline constexpr LangEntry kOptSplitMinutes{"OPTIONS", "SPLIT_MINUTES", "Новый файл каждые (мин, 0 — один файл):"};
inline constexpr LangEntry kOptKeepMegabytes{"OPTIONS", "KEEP_MEGABYTES", "Хранить записи до (МБ, 0 — все):"};
inline constexpr LangEntry kOptLocalOnly{"OPTIONS", "LOCAL_ONLY", "Только для этого компьютера (127.0.0.1)"};
inline constexpr LangEntry kOptServerUser{"OPTIONS", "SERVER_USER", "Пользователь:"};
inline constexpr LangEntry kOptServerPassword{"OPTIONS", "SERVER_PASSWORD", "Пароль (пусто — прежний):"};
inline constexpr LangEntry kOptClearPassword{"OPTIONS", "CLEAR_PASSWORD", "Снять защиту"};
inline constexpr LangEntry kOptPasswordNeeded{"OPTIONS", "PASSWORD_NEEDED",
                                              "Для пользователя «%1» не задан пароль: введите пароль или снимите защиту."};
// Recording only while something moves: the choice, the share of the
// picture that must change, and how long recording goes on after it.
inline constexpr LangEntry kOptRecordOnMotion{"OPTIONS", "RECORD_ON_MOTION", "Записывать только при движении"};
inline constexpr LangEntry kOptMotionThreshold{"OPTIONS", "MOTION_THRESHOLD", "Порог движения (десятые доли % кадра):"};
inline constexpr LangEntry kOptMotionKeep{"OPTIONS", "MOTION_KEEP", "Писать после движения (с):"};

// --- status texts and messages. A key used in several places has one entry
// per use, each with its own built-in text; a language file gives one text
// for all of them. ---
inline constexpr LangEntry kStr1Connected{"STRS", "STR1", "Статус: соединён."};
inline constexpr LangEntry kStr2Model{"STRS", "STR2", "Модель:"};
inline constexpr LangEntry kStr3Idle{"STRS", "STR3", "Статус: не занят."};
// The web camera stopped: the same idle text.
inline constexpr const LangEntry& kStr3CameraStopped = kStr3Idle;
inline constexpr LangEntry kStr4NotConnected{"STRS", "STR4", "Статус: не соединён."};
inline constexpr LangEntry kStr5NoModel{"STRS", "STR5", "Не могу получить модель телефона!"};
inline constexpr LangEntry kStr6StopCameraFirst{"STRS", "STR6", "Сначала остановите веб-камеру!"};
inline constexpr LangEntry kStr7PositionPhone{"STRS", "STR7", "Установите телефон в положение для съёмки и нажмите OK"};
inline constexpr LangEntry kStr8NoPhone{"STRS", "STR8", "Телефон не подключён!"};
inline constexpr LangEntry kStr9CameraInitFailed{"STRS", "STR9", "Инициализация камеры невозможна!"};  // options, web camera
inline constexpr LangEntry kStr9PhotoCameraInitFailed{"STRS", "STR9", "Невозможна инициализация камеры!"};  // photo
inline constexpr LangEntry kStr10ShotFailed{"STRS", "STR10", "Не могу снять!"};
inline constexpr LangEntry kStr11PhotoCameraInit{"STRS", "STR11", "Статус: Инициализация камеры..."};  // photo
inline constexpr LangEntry kStr11CameraInit{"STRS", "STR11", "Инициализация камеры..."};              // web camera
inline constexpr LangEntry kStr12Shooting{"STRS", "STR12", "Статус: Снимаю"};
inline constexpr LangEntry kStr13Downloading{"STRS", "STR13", "Статус: Сливаю..."};
inline constexpr LangEntry kStr14ReadFailed{"STRS", "STR14", "Не могу прочитать, увеличте значение таймаута."};
inline constexpr LangEntry kStr15PhotoCameraDeinit{"STRS", "STR15", "Статус: Деинициализация камеры..."};  // photo
inline constexpr LangEntry kStr15CameraDeinit{"STRS", "STR15", "Деинициализация камеры..."};              // web camera
inline constexpr LangEntry kStr16DeinitFailed{"STRS", "STR16", "Невозможна деинициализация камеры!"};
inline constexpr LangEntry kStr17VideoFileFailed{"STRS", "STR17", "Не могу создать видео файл!"};
inline constexpr LangEntry kStr18CameraError{"STRS", "STR18", "Ошибка камеры!"};
inline constexpr LangEntry kStr19FormatRejected{"STRS", "STR19", "Формат не поддерживается кодеком!"};
inline constexpr LangEntry kStr20Deleting{"STRS", "STR20", "Удаляю..."};
inline constexpr LangEntry kStr21RecordingTime{"STRS", "STR21", "Время съёмки:"};
// The phone has not answered a command for some seconds (work panel).
inline constexpr LangEntry kPhoneLate{"STRS", "PHONE_LATE", "Статус: телефон не отвечает, жду..."};

// A picture could not be written to the chosen file; %1 the file, %2 the
// system's reason.
inline constexpr LangEntry kSaveFailed{"STRS", "SAVE_FAILED", "Не могу сохранить картинку в файл %1: %2"};
// The disk (or the file size limit) took no more of a recording; %1 the
// file, %2 the system's reason. The file holds the frames before, complete.
inline constexpr LangEntry kDiskFull{"STRS", "DISK_FULL", "Диск заполнен, запись остановлена: %1 (%2)"};
// The frame-rate test would switch the camera off under a photo or a recording.
inline constexpr LangEntry kFpsTestBusy{"STRS", "FPS_TEST_BUSY",
                                        "Тест частоты кадров невозможен, пока идёт съёмка: дождитесь снимка или остановите веб-камеру."};
// The settings file took no settings at OK; %1 the file, %2 the reason.
inline constexpr LangEntry kSettingsNotSaved{"STRS", "SETTINGS_NOT_SAVED", "Не могу сохранить настройки в файл %1: %2"};
// A number field of the options dialog holds no number of its range; %1 the
// field's label, %2 its text, %3 and %4 the range.
inline constexpr LangEntry kNumberRange{"STRS", "NUMBER_RANGE", "%1: «%2» — не целое число от %3 до %4."};
inline constexpr LangEntry kNumberAboveZero{"STRS", "NUMBER_ABOVE_ZERO", "%1: «%2» — не число больше 0."};
// The download bar's label: bytes below 10 KB, kilobytes above; %1 the count.
inline constexpr LangEntry kDownloadBytes{"STRS", "DOWNLOAD_B", "%1 Б"};
inline constexpr LangEntry kDownloadKilobytes{"STRS", "DOWNLOAD_KB", "%1 КБ"};
// No browser or launcher could show the manual; %1 its path.
inline constexpr LangEntry kManualNotOpened{"STRS", "NO_BROWSER",
                                            "Не могу открыть руководство в браузере. Оно находится здесь: %1"};
// The PipeWire camera was asked for but cannot be offered, or is offered
// once PipeWire runs (the panel's tip gives the system's reason).
inline constexpr LangEntry kVirtualCameraUnavailable{"STRS", "VCAM_UNAVAILABLE", "Нет камеры PipeWire"};
inline constexpr LangEntry kVirtualCameraWaiting{"STRS", "VCAM_WAITING", "PipeWire не запущен"};
// Recording only while something moves: the work panel while nothing moves
// and during an event; the status bar's time of the last event (%1).
inline constexpr LangEntry kMotionWaiting{"STRS", "MOTION_WAITING", "Жду движения"};
inline constexpr LangEntry kMotionRecording{"STRS", "MOTION_RECORDING", "Движение: запись"};
inline constexpr LangEntry kMotionLast{"STRS", "MOTION_LAST", "Последнее движение: %1"};
// The options' user name could never log in (web::CheckUserName).
inline constexpr LangEntry kUserNameUnusable{
    "STRS", "USER_NAME_UNUSABLE",
    "В имени пользователя не может быть двоеточия и управляющих символов (перевода строки, табуляции): с таким именем не войти."};
// Added to the socket error when the port needs privileges (below 1024).
inline constexpr LangEntry kPrivilegedPort{"STRS", "PRIVILEGED_PORT", ". Выберите порт 1024 или больше."};


// --- texts that follow the language everywhere else ---
// Menu commands beyond the main menu's first seventeen.
inline constexpr LangEntry kMenuOpenRecordings{"MENU", "RECORDINGS", "Открыть папку с &записями"};
inline constexpr LangEntry kMenuCopyAddress{"MENU", "COPY_ADDRESS", "&Копировать адрес сервера"};
inline constexpr LangEntry kMenuRestore{"MENU", "RESTORE", "&Развернуть окно"};

// The options dialog's title, buttons and the captions that had none.
inline constexpr LangEntry kOptTitle{"OPTIONS", "TITLE", "Настройки"};
inline constexpr LangEntry kOptOk{"OPTIONS", "OK", "OK"};
inline constexpr LangEntry kOptCancel{"OPTIONS", "CANCEL", "Cancel"};
inline constexpr LangEntry kOptAutoSuspend{"OPTIONS", "AUTO_SUSPEND", "Auto Suspend mode"};
inline constexpr LangEntry kOptAutoFileName{"OPTIONS", "AUTO_FILE_NAME", "Auto file name:"};
inline constexpr LangEntry kOptAutoFps{"OPTIONS", "AUTO_FPS", "Auto fps"};
inline constexpr LangEntry kOptFps{"OPTIONS", "FPS", "fps:"};
inline constexpr LangEntry kOptFpsTest{"OPTIONS", "FPS_TEST", ">>TEST<<"};
inline constexpr LangEntry kOptCodecAbout{"OPTIONS", "CODEC_ABOUT", "About"};
inline constexpr LangEntry kOptAviFiles{"OPTIONS", "AVI_FILES", "Avi files(*.avi)"};
// The encoder's configuration dialog and about box.
inline constexpr LangEntry kCodecQuality{"OPTIONS", "CODEC_QUALITY", "Качество:"};
inline constexpr LangEntry kCodecBitRate{"OPTIONS", "CODEC_BITRATE", "Битрейт, кбит/с:"};
inline constexpr LangEntry kCodecAdvanced{"OPTIONS", "CODEC_ADVANCED", "Дополнительно"};
inline constexpr LangEntry kCodecCommon{"OPTIONS", "CODEC_COMMON", "Common"};
inline constexpr LangEntry kCodecAutoTip{"OPTIONS", "CODEC_AUTO_TIP", "Half checked: the encoder chooses"};
inline constexpr LangEntry kCodecLicence{"OPTIONS", "CODEC_LICENCE", "Licence: %1"};
// The encoder list's lines for lossless encoders (%1 the name) and raw frames.
inline constexpr LangEntry kCodecLossless{"OPTIONS", "CODEC_LOSSLESS", "%1 (без потерь)"};
inline constexpr LangEntry kCodecUncompressed{"OPTIONS", "CODEC_RAW", "Без сжатия"};

// The window's title after the version, the about box and the save dialog.
inline constexpr LangEntry kTitleCredit{"STRS", "TITLE_CREDIT", "by the Orvello authors"};
inline constexpr LangEntry kAboutTitle{"STRS", "ABOUT_TITLE", "О программе"};
// "\n" in a language file's text starts a new line. One sentence a line,
// each short enough that the message box never wraps it.
inline constexpr LangEntry kAboutText{"STRS", "ABOUT_TEXT",
                                      "Фотоаппарат и веб-камера из камерофона Motorola.\n"
                                      "Телефон подключается к компьютеру USB-кабелем.\n"
                                      "\n"
                                      "Авторы: команда Orvello\n"
                                      "Почта: %1\n"
                                      "Сайт: %2\n"
                                      "\n"
                                      "Спасибо тестеру за опыты с командами телефона.\n"
                                      "Спасибо переводчику за проверку и английский перевод."};
inline constexpr LangEntry kBitmapFiles{"STRS", "BITMAP_FILES", "Bitmaps(*.bmp)"};
inline constexpr LangEntry kJpegFiles{"STRS", "JPEG_FILES", "Jpeg(*.jpg)"};
// What is going on: the monitor looks for the phone; the web camera runs
// (%1 its time); the server's address (%1) and the stream's (%2); the file
// a recording wrote (%1); no file manager could show the folder (%1).
inline constexpr LangEntry kSearching{"STRS", "SEARCHING", "Поиск телефона..."};
inline constexpr LangEntry kRecordingTitle{"STRS", "REC", "● REC %1"};
inline constexpr LangEntry kServerAddress{"STRS", "SERVER_ADDRESS", "Сервер: %1"};
inline constexpr LangEntry kStreamAddress{"STRS", "STREAM_ADDRESS", "поток: %1"};
inline constexpr LangEntry kRecordingWritten{"STRS", "WRITTEN", "Записано: %1"};
inline constexpr LangEntry kFolderNotOpened{"STRS", "NO_FILE_MANAGER",
                                            "Не могу открыть папку в файловом менеджере. Она находится здесь: %1"};
inline constexpr LangEntry kAlreadyRunning{"STRS", "ALREADY_RUNNING", "Already running!"};
// The title's mark while the web camera writes no file (%1 its time).
inline constexpr LangEntry kLiveTitle{"STRS", "LIVE", "● ЭФИР %1"};
// The title's mark while a recording on motion waits for something to move
// (%1 its time); during an event the recording's own mark stands.
inline constexpr LangEntry kMotionTitle{"STRS", "MOTION_TITLE", "○ ЖДУ %1"};
// Closing the window while the web camera runs.
inline constexpr LangEntry kStopAndExit{"STRS", "STOP_AND_EXIT",
                                        "Веб-камера работает. Остановить её и выйти из программы?"};
// The picture area while no phone is found: what to do; the phone that is
// there but may not be opened (%1 its device, %2 the udev rules); where to
// read more (%1 the menu's way to the manual).
inline constexpr LangEntry kNoPhoneHint{"STRS", "NO_PHONE",
                                        "Телефон не найден. Подключите телефон Motorola к компьютеру кабелем USB "
                                        "и включите его: программа найдёт его сама."};
inline constexpr LangEntry kNoPhoneAccess{"STRS", "NO_PHONE_ACCESS",
                                          "Телефон подключён (%1), но открыть его нельзя: не хватает прав. "
                                          "Установите правила udev (%2) и подключите телефон заново. "
                                          "Без входа за этим компьютером (например, по ssh) нужны группы "
                                          "plugdev и dialout: вступите в них и войдите снова."};
inline constexpr LangEntry kNoPhoneMore{"STRS", "NO_PHONE_MORE",
                                        "Подробнее: %1 (F1).\nПопробовать программу без телефона: "
                                        "orvello --simulate-phone"};

// The language itself: its name in the options' list, the Qt translation
// that carries Qt's own dialogs and buttons into it (a name under Qt's
// translations folder, or a path), and its manual.
inline constexpr LangEntry kLanguageName{"LANGUAGE", "NAME", "Русский"};
inline constexpr LangEntry kQtTranslation{"LANGUAGE", "QT_TRANSLATION", "qtbase_ru"};
inline constexpr LangEntry kManualFile{"LANGUAGE", "MANUAL", "manual.ru.html"};

}  // namespace txt

inline constexpr std::array<LangEntry, 19> kMenuTexts{
    txt::kMenuFile,      txt::kMenuConnect,     txt::kMenuDisconnect, txt::kMenuSave,        txt::kMenuExit,
    txt::kMenuPhone,     txt::kMenuCapture,     txt::kMenuRestart,    txt::kMenuSuspend,     txt::kMenuCameraStart,
    txt::kMenuCameraStop, txt::kMenuOptions,    txt::kMenuHelp,       txt::kMenuHelpFile,    txt::kMenuWebSite,
    txt::kMenuMailAuthor, txt::kMenuAbout,      txt::kMenuOpenRecordings, txt::kMenuCopyAddress,
};

inline constexpr std::array<LangEntry, 42> kOptionsTexts{
    txt::kOptPhoneTab,       txt::kOptProgramTab,        txt::kOptVideoTab,         txt::kOptServerTab,
    txt::kOptTempFile,       txt::kOptPictureType,       txt::kOptShotTimeout,      txt::kOptInitTimeout,
    txt::kOptLighting,       txt::kOptExposure,          txt::kOptCloseToTray,      txt::kOptAutoRestart,
    txt::kOptAutoFormResize, txt::kOptShowSplash,        txt::kOptDateStamp,        txt::kOptAutoConnect,
    txt::kOptLanguage,       txt::kOptRecordFile,        txt::kOptDuplicatePicture, txt::kOptCompressor,
    txt::kOptConfigure,      txt::kOptServerEnabled,     txt::kOptPort,             txt::kOptLightAuto,
    txt::kOptLightSunny,     txt::kOptLightCloudy,       txt::kOptLightIncandescent, txt::kOptLightFluorescent,
    txt::kOptLightNight,     txt::kOptServerStream,
    txt::kOptRecordToFile,   txt::kOptVirtualCamera,  txt::kOptSplitMinutes,   txt::kOptKeepMegabytes,
    txt::kOptLocalOnly,      txt::kOptServerUser,     txt::kOptServerPassword, txt::kOptClearPassword,
    txt::kOptPasswordNeeded, txt::kOptRecordOnMotion, txt::kOptMotionThreshold, txt::kOptMotionKeep,
};

// Texts of the options dialog and the encoder's dialogs beyond the OPTIONS
// table above.
inline constexpr std::array<LangEntry, 18> kOptionsMoreTexts{
    txt::kOptTitle,       txt::kOptOk,          txt::kOptCancel,      txt::kOptAutoSuspend,
    txt::kOptAutoFileName, txt::kOptAutoFps,    txt::kOptFps,         txt::kOptFpsTest,
    txt::kOptCodecAbout,  txt::kOptAviFiles,    txt::kCodecQuality,   txt::kCodecBitRate,
    txt::kCodecAdvanced,  txt::kCodecCommon,    txt::kCodecAutoTip,   txt::kCodecLicence,
    txt::kCodecLossless,  txt::kCodecUncompressed,
};

// Every use of every STRS key (keys with several uses appear once per use).
inline constexpr std::array<LangEntry, 41> kStatusTexts{
    txt::kStr1Connected,         txt::kStr2Model,           txt::kStr3Idle,
    txt::kStr4NotConnected,
    txt::kStr5NoModel,           txt::kStr6StopCameraFirst, txt::kStr7PositionPhone,
    txt::kStr8NoPhone,           txt::kStr9CameraInitFailed, txt::kStr9PhotoCameraInitFailed,
    txt::kStr10ShotFailed,       txt::kStr11PhotoCameraInit, txt::kStr11CameraInit,
    txt::kStr12Shooting,         txt::kStr13Downloading,    txt::kStr14ReadFailed,
    txt::kStr15PhotoCameraDeinit, txt::kStr15CameraDeinit,  txt::kStr16DeinitFailed,
    txt::kStr17VideoFileFailed,  txt::kStr18CameraError,    txt::kStr19FormatRejected,
    txt::kStr20Deleting,         txt::kStr21RecordingTime,  txt::kSaveFailed,
    txt::kFpsTestBusy,           txt::kSettingsNotSaved,    txt::kNumberRange,
    txt::kNumberAboveZero,      txt::kDiskFull,
    txt::kManualNotOpened,       txt::kDownloadBytes,       txt::kDownloadKilobytes,
    txt::kVirtualCameraUnavailable, txt::kVirtualCameraWaiting,
    txt::kPhoneLate,             txt::kUserNameUnusable,
    txt::kPrivilegedPort,
    txt::kMotionWaiting,         txt::kMotionRecording,     txt::kMotionLast,
};

// The STRS texts that came with the window's title, about box, save dialog
// and what it says of its state; and the tray's own item.
inline constexpr std::array<LangEntry, 19> kWindowTexts{
    txt::kTitleCredit,      txt::kAboutTitle,       txt::kAboutText,        txt::kBitmapFiles,
    txt::kJpegFiles,        txt::kSearching,        txt::kRecordingTitle,   txt::kServerAddress,
    txt::kStreamAddress,    txt::kRecordingWritten, txt::kFolderNotOpened,  txt::kAlreadyRunning,
    txt::kMenuRestore,      txt::kLiveTitle,        txt::kStopAndExit,      txt::kNoPhoneHint,
    txt::kNoPhoneAccess,    txt::kNoPhoneMore,      txt::kMotionTitle,
};

// Section LANGUAGE.
inline constexpr std::array<LangEntry, 3> kLanguageTexts{txt::kLanguageName, txt::kQtTranslation, txt::kManualFile};

// Every text the work panel shows (the photo thread's, the recorder's and the
// window's own), so that the panel is made wide enough for the longest.
inline constexpr std::array<LangEntry, 11> kWorkPanelTexts{
    txt::kStr3Idle,          txt::kStr11PhotoCameraInit, txt::kStr11CameraInit,       txt::kStr12Shooting,
    txt::kStr13Downloading,  txt::kStr15PhotoCameraDeinit, txt::kStr15CameraDeinit, txt::kStr20Deleting,
    txt::kMotionWaiting,     txt::kMotionRecording,      txt::kPhoneLate,
};

}  // namespace orv
