// The program's compiled-in images and help page (library corvid1_resources).
//
// All images are ours, drawn as XPM text in resources/images/.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QUrl>

namespace corvid1 {

// Command-bar images in button order: 0 Connect/Disconnect, 1 Terminal Preferences,
// 2 Fonts, 3 Copy, 4 Paste. Each is 16 x 16.
inline constexpr int kCommandBarImageCount = 5;
inline constexpr char kCommandBarStripPath[] = ":/corvid1/images/command_bar.xpm";  // 80 x 16
QPixmap commandBarImage(int index);  // null pixmap for an index outside 0..4

// Application icon (icon 101): 16 x 16, with a 32 x 32 drawing for desktops that want more.
inline constexpr char kIconPath[] = ":/corvid1/images/corvid1_16.xpm";
inline constexpr char kIconLargePath[] = ":/corvid1/images/corvid1_32.xpm";
QIcon applicationIcon();

// The terminal cursor image (bitmap 112): 70 x 60, every pixel white, combined by
// exclusive-or into the cursor cell.
inline constexpr char kCursorImagePath[] = ":/corvid1/images/cursor.xpm";
QPixmap cursorImage();

// The help page, compiled in.
inline constexpr char kHelpPagePath[] = ":/corvid1/help/corvid1.html";
// A file: URL of the help page for the system's URL opener: the compiled-in page is written
// to <user data folder>/corvid1/help/corvid1.html when that copy is missing or differs. An
// empty URL if it could not be written.
QUrl helpPageUrl();

}  // namespace corvid1
