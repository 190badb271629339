#pragma once

#include <QPixmap>
#include <QRect>

#include <string>

class QWidget;

// An image attribute of the skins and of the code: "file='pause_n.png' dest='0,7,16,23'" names
// an image of the skin folders and the rectangle (left, top, right, bottom) it is drawn into.
struct SkinImage {
    std::string file;
    QRect dest;  // empty: the image's own size at 0,0

    static SkinImage Parse(const std::string& attribute);
    // The image drawn at its place on a transparent canvas as large as the rectangle's
    // bottom-right corner; null when the file is missing.
    QPixmap Render() const;
    // The image alone, scaled to the rectangle.
    QPixmap Pixmap() const;
    // Both are read and drawn once for the skin folders of the moment
    // (CPaintManagerUI::GetResourceGeneration) and kept; a missing file is looked for each time.

    // Labels show the image as their picture, buttons as their icon. "disabled" is the icon of
    // a disabled button. Returns false when the image could not be found.
    static bool Apply(QWidget* widget, const std::string& attribute);
    static bool ApplyDisabled(QWidget* widget, const std::string& attribute);

    // The skins carry images as properties "bkimage" (labels), "normalimage" and
    // "disabledimage" (buttons); this applies them to every widget under `root`.
    static void ApplyProperties(QWidget* root);

private:
    QPixmap Load() const;  // Pixmap() from the file
    QPixmap Draw() const;  // Render() from Pixmap()
};
