// zorp-shot FILE.png [WINDOW]: saves what the X display shows (the whole screen, or one window
// given by its X id in decimal or 0x hex) as a PNG, and prints its size and how many colours it
// holds. Exits 3 when the picture is of one colour (nothing was drawn), 2 on a usage error,
// 1 when it cannot be grabbed or saved.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: zorp-shot FILE.png [WINDOW]\n");
        return 2;
    }
    // Only the X display: an offscreen picture would prove nothing.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "zorp-shot: no screen\n");
        return 1;
    }
    WId window = 0;
    if (argc == 3) {
        window = static_cast<WId>(std::strtoull(argv[2], nullptr, 0));
    }
    const QImage image = screen->grabWindow(window).toImage().convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) {
        std::fprintf(stderr, "zorp-shot: nothing grabbed\n");
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "zorp-shot: cannot write %s\n", argv[1]);
        return 1;
    }
    std::unordered_set<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() < 100000; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            colours.insert(line[x]);
        }
    }
    std::printf("%s %dx%d %zu colours\n", argv[1], image.width(), image.height(), colours.size());
    return colours.size() > 1 ? 0 : 3;
}
