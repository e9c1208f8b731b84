#pragma once
// The program's own icon, a camera phone drawn as an SVG picture
// (icons/orvello.svg) and carried as PNG files drawn from it ahead of time
// (icons/png, made by icons/render-pngs.sh): the main window, the tray, the
// about box and the splash show them, and the desktop's icon theme gets them
// installed, without the picture being drawn while the program starts.

#include <QIcon>
#include <QImage>

namespace orv {

// The sizes of the window system and the icon theme.
inline constexpr int kProgramIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
// The size the splash shows, also carried as a PNG file.
inline constexpr int kSplashIconSize = 140;

// The icon at size x size pixels on a transparent background: the PNG file
// of that size, or for another size the next larger one (the largest, for a
// size above it) scaled smoothly; a null image for a size outside 1..1024.
QImage ProgramIconImage(int size);

// The icon with every size of kProgramIconSizes.
QIcon ProgramIcon();

}  // namespace orv
