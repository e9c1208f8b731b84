#pragma once
// A panel of the main window's status bar: a sunken label that asks for the
// width its longest text needs, or, in a narrow window, only for the width of
// the text it shows; it gives way when there is less room than that (the
// text is cut with an ellipsis), and then holds its whole text in its tip.

#include <QLabel>

namespace orv {

class StatusPanel : public QLabel {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);

    // The width the panel asks for (its longest text); never less than the
    // width of the text it shows now.
    void SetPreferredWidth(int width);
    // Asks for the width of the text it shows only.
    void SetCompact(bool compact);
    // The width asked for when not compact.
    int FullWidth() const;
    // The width this text needs in the panel, frame and indent included.
    int WidthFor(const QString& text) const;
    // Room at the panel's right end that the text leaves to a widget lying
    // there (a progress bar), besides the width of the text.
    void SetReservedRight(int width);
    // Where a cut text loses its characters: at its end (the default), or in
    // its middle, which keeps a file name's end.
    void SetElideMode(Qt::TextElideMode mode);
    // The text is shown whole, and the tip is the panel's own one (empty
    // when it has none).
    void SetPanelText(const QString& text, const QString& tip = QString());
    // The text as drawn: the whole text, or its cut form.
    QString ShownText() const;
    // A width less than this is never asked for: the panel stays readable.
    static constexpr int kMinimumChars = 4;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int TextRoom() const;
    void UpdateTip();

    int preferredWidth_ = 0;
    bool compact_ = false;
    int reservedRight_ = 0;
    Qt::TextElideMode elideMode_ = Qt::ElideRight;
    QString ownTip_;
};

}  // namespace orv
