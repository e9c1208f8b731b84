#pragma once
// Number fields, spin boxes, lists and sliders take the mouse wheel only
// while they have the keyboard focus: scrolling a page of options over them
// scrolls the page and changes no value under the pointer.

class QObject;
class QEvent;
class QWidget;

namespace orv {

// Installs the guard for the whole application (once; later calls do
// nothing) and gives every such control below root a focus that the wheel
// does not take: a click or Tab focuses it.
void GuardWheel(QWidget* root);

// Whether the guard holds this wheel event back from watched: watched is a
// value control without the focus. The event then goes on to its parents.
bool WheelHeldBack(QObject* watched, QEvent* event);

}  // namespace orv
