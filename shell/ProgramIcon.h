#pragma once
// The program's own icon, drawn once as an SVG picture (icons/orvello.svg)
// and rendered from it wherever it is shown: the main window, the tray, the
// about box, and the PNG files installed into the desktop's icon theme.

#include <QIcon>
#include <QImage>

namespace orv {

// The sizes at which the icon is rendered for the window system and the
// icon theme.
inline constexpr int kProgramIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The icon at size x size pixels on a transparent background; a null image
// for a size outside 1..1024 or when the picture cannot be read.
QImage RenderProgramIcon(int size);

// The icon with every size of kProgramIconSizes.
QIcon ProgramIcon();

}  // namespace orv
