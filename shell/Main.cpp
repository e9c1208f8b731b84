#include "Main.h"

#include "CommandLine.h"

#include <QGuiApplication>
#include <QScreen>

namespace orv {

TForm1::TForm1(QWidget* parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Orvello v1.0"));
    resize(650, 330);
    if (const QString version = ReadFileVersion(); !version.isEmpty()) {
        const QString caption = QStringLiteral("Orvello v") + version + QStringLiteral(" \u2014 by the Orvello authors");
        setWindowTitle(caption);
        QGuiApplication::setApplicationDisplayName(QString());
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::FormCreate() {}

}  // namespace orv
