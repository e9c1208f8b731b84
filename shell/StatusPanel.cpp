#include "StatusPanel.h"

#include <QPainter>
#include <QStyle>

#include <algorithm>
#include <cmath>

namespace orv {

StatusPanel::StatusPanel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setMinimumHeight(0);
    // Never more than it asks for: the stretch of the bar goes elsewhere.
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
}

void StatusPanel::SetPreferredWidth(int width)
{
    preferredWidth_ = width;
    updateGeometry();
}

void StatusPanel::SetCompact(bool compact)
{
    if (compact_ == compact)
        return;
    compact_ = compact;
    updateGeometry();
}

void StatusPanel::SetReservedRight(int width)
{
    if (reservedRight_ == width)
        return;
    reservedRight_ = width;
    updateGeometry();
    UpdateTip();
    update();
}

int StatusPanel::FullWidth() const { return std::max(preferredWidth_, WidthFor(text())); }

int StatusPanel::WidthFor(const QString& text) const
{
    // The indent QLabel gives a framed text, on its left, and the same room
    // on its right.
    // The frame and the contents' margins: what the widget has beside its
    // contents.
    const int indent = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2;
    const int edges = width() - contentsRect().width();
    // Counted as the cut counts it, with the fractions of pixels.
    const int advance = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text)));
    return advance + 2 * indent + edges + 2 * margin();
}

void StatusPanel::SetElideMode(Qt::TextElideMode mode)
{
    elideMode_ = mode;
    UpdateTip();
    update();
}

void StatusPanel::SetPanelText(const QString& text, const QString& tip)
{
    ownTip_ = tip;
    setText(text);
    updateGeometry();
    UpdateTip();
}

QString StatusPanel::ShownText() const
{
    return fontMetrics().elidedText(text(), elideMode_, TextRoom());
}

QSize StatusPanel::sizeHint() const
{
    return QSize(compact_ ? WidthFor(text()) + reservedRight_ : FullWidth(), QLabel::sizeHint().height());
}

QSize StatusPanel::minimumSizeHint() const
{
    const int least = WidthFor(QString(kMinimumChars, QLatin1Char('x')));
    return QSize(std::min(least, sizeHint().width()), QLabel::minimumSizeHint().height());
}

int StatusPanel::TextRoom() const
{
    const int indent = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2;
    return std::max(0, contentsRect().width() - 2 * indent - 2 * margin() - reservedRight_);
}

void StatusPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    drawFrame(&painter);
    const int indent = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2;
    const QRect room =
        contentsRect().adjusted(indent + margin(), margin(), -indent - margin() - reservedRight_, -margin());
    style()->drawItemText(&painter, room, static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter), palette(), isEnabled(),
                          ShownText(), foregroundRole());
}

void StatusPanel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    UpdateTip();
}

void StatusPanel::UpdateTip()
{
    // A cut text is read whole in the tip, after the panel's own tip.
    QString tip = ownTip_;
    if (ShownText() != text() && !tip.contains(text()))
        tip = tip.isEmpty() ? text() : text() + QLatin1Char('\n') + tip;
    setToolTip(tip);
}

}  // namespace orv
