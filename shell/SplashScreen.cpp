#include "SplashScreen.h"

#include "config/Switches.h"
#include "ProgramIcon.h"

#include <QApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include <algorithm>

namespace orv {

SplashScreen::SplashScreen(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setFixedSize(380, 201);
    pictureLabel = new QLabel(this);
    pictureLabel->setGeometry(0, 0, 380, 201);
    pictureLabel->setScaledContents(true);
    pictureLabel->setPixmap(DrawPicture());

    versionLabel = new QLabel(QStringLiteral("version: 1.0.0.0"), this);
    versionLabel->setGeometry(101, 136, 179, 31);
    versionLabel->setAttribute(Qt::WA_TranslucentBackground);
    QFont font(QStringLiteral("Times New Roman"));
    font.setPixelSize(27);
    font.setBold(true);
    versionLabel->setFont(font);
    versionLabel->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0); background: transparent;"));
    if (const QString version = ReadFileVersion(); !version.isEmpty())
        versionLabel->setText(QStringLiteral("version: ") + version);
    // Wider where the face that stands in for Times New Roman needs more room
    // (DejaVu Serif does), moved left only if the picture's edge comes first.
    const QSize needed = versionLabel->sizeHint().expandedTo(versionLabel->size());
    versionLabel->setGeometry(std::min(versionLabel->x(), width() - needed.width()), versionLabel->y(), needed.width(), needed.height());

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

void SplashScreen::ShowAndPaint()
{
    show();
    // Lets the window system map the window, so that the paint is seen.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    repaint();
}

void SplashScreen::Repaint() { repaint(); }

QPixmap SplashScreen::DrawPicture()
{
    QPixmap picture(380, 201);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, 201);
    sky.setColorAt(0, QColor(18, 32, 64));
    sky.setColorAt(1, QColor(4, 8, 20));
    p.fillRect(picture.rect(), sky);

    // The program's icon, a camera phone, and a USB cable from it to the name.
    // The phone ends a few pixels short of the version label at x = 101.
    p.drawImage(QPoint(-14, 28), ProgramIconImage(kSplashIconSize));
    QPainterPath cable;
    cable.moveTo(56, 164);
    cable.cubicTo(60, 196, 110, 190, 112, 150);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(150, 150, 160), 3));
    p.drawPath(cable);

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(52);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(235, 240, 255));
    p.drawText(QRect(104, 40, 270, 70), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Orvello"));

    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(14);
    p.setFont(sub);
    p.setPen(QColor(160, 180, 210));
    p.drawText(QRect(106, 104, 270, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("phone camera \u2192 PC camera"));

    p.setPen(QPen(QColor(80, 110, 160), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(picture.rect().adjusted(0, 0, -1, -1));
    return picture;
}

}  // namespace orv
