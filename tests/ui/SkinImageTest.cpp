#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <filesystem>
#include <string>

#include "UiTestApp.h"
#include "support/TempDir.h"
#include "ui/PaintManagerUI.h"
#include "ui/SkinImage.h"

namespace {

using zorp::test::TempDir;

void WriteImage(const std::filesystem::path& file, const QColor& colour, int size = 8) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(colour);
    ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "PNG"));
}

// The colour in the middle of what a label shows, after SkinImage::Apply.
QColor Shown(const std::string& attribute) {
    QLabel label;
    if (!SkinImage::Apply(&label, attribute)) {
        return {};
    }
    const QImage image = label.pixmap().toImage();
    return image.pixelColor(image.width() - 2, image.height() - 2);
}

class SkinImageTest : public testing::Test {
protected:
    void SetUp() override { zorp::test::UiLoop(); }
    void TearDown() override { CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir()); }
};

// Kept images belong to the skin folders they were read from: other folders give their own.
TEST_F(SkinImageTest, AnotherSkinFolderGivesItsOwnImageNotTheKeptOne) {
    TempDir red;
    TempDir blue;
    WriteImage(red / "dot.png", Qt::red);
    WriteImage(blue / "dot.png", Qt::blue);
    CPaintManagerUI::SetResourcePath(red.path());
    EXPECT_EQ(Shown("file='dot.png'"), QColor(Qt::red));
    EXPECT_EQ(Shown("file='dot.png' dest='2,2,6,6'"), QColor(Qt::red));
    CPaintManagerUI::SetResourcePath(blue.path());
    EXPECT_EQ(Shown("file='dot.png'"), QColor(Qt::blue));
    EXPECT_EQ(Shown("file='dot.png' dest='2,2,6,6'"), QColor(Qt::blue));
}

// A missing image is not remembered as missing: once a folder that has it is searched, or the
// file arrives, it is shown.
TEST_F(SkinImageTest, AMissingImageIsFoundOnceItIsThere) {
    TempDir empty;
    TempDir other;
    WriteImage(other / "late.png", Qt::green);
    CPaintManagerUI::SetResourcePath(empty.path());
    EXPECT_FALSE(Shown("file='late.png'").isValid());
    CPaintManagerUI::AddResourceSearchPath(other.path());
    EXPECT_EQ(Shown("file='late.png'"), QColor(Qt::green));

    EXPECT_FALSE(Shown("file='later.png'").isValid());
    WriteImage(empty / "later.png", Qt::yellow);
    EXPECT_EQ(Shown("file='later.png'"), QColor(Qt::yellow));
}

// One file at several sizes: each rectangle gets the image scaled and placed for it.
TEST_F(SkinImageTest, EachRectangleGetsItsOwnSizeAndPlace) {
    TempDir dir;
    WriteImage(dir / "dot.png", Qt::red, 32);
    CPaintManagerUI::SetResourcePath(dir.path());
    QLabel label;
    ASSERT_TRUE(SkinImage::Apply(&label, "file='dot.png' dest='0,18,16,34'"));
    EXPECT_EQ(label.pixmap().size(), QSize(16, 34));
    ASSERT_TRUE(SkinImage::Apply(&label, "file='dot.png' dest='4,4,12,12'"));
    EXPECT_EQ(label.pixmap().size(), QSize(12, 12));
    EXPECT_EQ(label.pixmap().toImage().pixelColor(0, 0).alpha(), 0) << "placed, not stretched";
    QPushButton button;
    ASSERT_TRUE(SkinImage::Apply(&button, "file='dot.png' dest='0,18,16,34'"));
    EXPECT_EQ(button.iconSize(), QSize(16, 16));
    ASSERT_TRUE(SkinImage::Apply(&button, "file='dot.png'"));
    EXPECT_EQ(button.iconSize(), QSize(32, 32));
}

}  // namespace
