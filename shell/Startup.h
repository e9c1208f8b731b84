#pragma once
// Pieces of the program's start that tests reach without starting a process.

#include <QApplication>

#include <functional>

namespace orv {

// Runs body inside the entry point's exception guard: an exception that
// escapes is shown in an error box (its message; an empty one for an
// exception that carries none) and the result is 0 either way.
int RunGuarded(const std::function<void()>& body);

// The application object: an exception that escapes an event handler (a menu
// command) is shown in the standard error box and the program goes on.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv) : QApplication(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace orv
