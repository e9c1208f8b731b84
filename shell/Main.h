#pragma once
// The program's main window: owns everything that runs and carries the
// settings accessors.

#include "Settings.h"

#include <QMainWindow>

namespace orv {

class TForm1 : public QMainWindow, public Settings {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    void FormCreate();
};

}  // namespace orv
