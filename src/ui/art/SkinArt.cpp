// Draws every image of the skins: the file-type icons, the transfer and button icons, the
// progress bar and the backup-folder icon. Everything is drawn here from shapes, so the
// artwork is ours and can be redrawn at will:
//
//   zorp-skin-art <skin folder> <art folder>
//
// writes the PNG files into the skin folder and abfoldicon.ico into the art folder.
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>
#include <string>

namespace {

QString g_skinDir;

const QColor kBlue(0x25, 0x87, 0xB8);    // the links' colour, our accent
const QColor kGreen(0x2E, 0xA0, 0x5A);
const QColor kGrey(0xA8, 0xAE, 0xB4);
const QColor kRed(0xD9, 0x4C, 0x3D);

QImage Canvas(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void Save(const QImage& image, const QString& name) {
    QString path = g_skinDir + "/" + name;
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    }
}

void Draw(int w, int h, const QString& name, const std::function<void(QPainter&)>& body) {
    QImage image = Canvas(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    body(p);
    p.end();
    Save(image, name);
}

// A circle with an arrow: up for uploads, down for downloads.
void TransferIcon(QPainter& p, const QColor& colour, bool up) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    p.setBrush(Qt::white);
    QPainterPath arrow;
    if (up) {
        arrow.moveTo(8, 3);
        arrow.lineTo(12.5, 8);
        arrow.lineTo(9.5, 8);
        arrow.lineTo(9.5, 12.5);
        arrow.lineTo(6.5, 12.5);
        arrow.lineTo(6.5, 8);
        arrow.lineTo(3.5, 8);
    } else {
        arrow.moveTo(8, 13);
        arrow.lineTo(12.5, 8);
        arrow.lineTo(9.5, 8);
        arrow.lineTo(9.5, 3.5);
        arrow.lineTo(6.5, 3.5);
        arrow.lineTo(6.5, 8);
        arrow.lineTo(3.5, 8);
    }
    arrow.closeSubpath();
    p.drawPath(arrow);
}

void PauseBars(QPainter& p, const QColor& colour, const QRectF& box) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    double w = box.width() * 0.28;
    p.drawRoundedRect(QRectF(box.left() + box.width() * 0.14, box.top(), w, box.height()), 1, 1);
    p.drawRoundedRect(QRectF(box.right() - box.width() * 0.14 - w, box.top(), w, box.height()), 1,
                      1);
}

void PlayTriangle(QPainter& p, const QColor& colour, const QRectF& box) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    QPainterPath tri;
    tri.moveTo(box.left() + box.width() * 0.2, box.top());
    tri.lineTo(box.right(), box.center().y());
    tri.lineTo(box.left() + box.width() * 0.2, box.bottom());
    tri.closeSubpath();
    p.drawPath(tri);
}

// Round button faces of the transfer rows.
void RowButton(QPainter& p, const QColor& ring) {
    p.setPen(QPen(ring, 1.2));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(0.8, 0.8, 14.4, 14.4));
}

// A sheet of paper with a folded corner, its lower part in the type's colour with a label.
void Document(QPainter& p, int size, const QColor& colour, const QString& label,
              const std::function<void(QPainter&, const QRectF&)>& symbol = {}) {
    const double s = size / 50.0;
    QRectF page(8 * s, 2 * s, 34 * s, 46 * s);
    const double fold = 10 * s;
    QPainterPath sheet;
    sheet.moveTo(page.topLeft());
    sheet.lineTo(page.right() - fold, page.top());
    sheet.lineTo(page.right(), page.top() + fold);
    sheet.lineTo(page.bottomRight());
    sheet.lineTo(page.bottomLeft());
    sheet.closeSubpath();
    p.setPen(QPen(QColor(0xC9, 0xCE, 0xD4), std::max(1.0, s)));
    p.setBrush(QColor(0xFB, 0xFC, 0xFD));
    p.drawPath(sheet);
    QPainterPath corner;
    corner.moveTo(page.right() - fold, page.top());
    corner.lineTo(page.right() - fold, page.top() + fold);
    corner.lineTo(page.right(), page.top() + fold);
    corner.closeSubpath();
    p.setBrush(QColor(0xE3, 0xE7, 0xEB));
    p.drawPath(corner);

    if (size >= 32) {
        // Text lines above the band.
        p.setPen(QPen(QColor(0xD5, 0xDA, 0xDF), 2 * s));
        for (int i = 0; i < 3; ++i) {
            double y = page.top() + (15 + i * 5) * s;
            p.drawLine(QPointF(page.left() + 5 * s, y),
                       QPointF(page.right() - (i == 2 ? 12 : 5) * s, y));
        }
    }
    QRectF band(page.left() - 3 * s, page.top() + (size >= 32 ? 29 : 22) * s, page.width() + 6 * s,
                (size >= 32 ? 13 : 20) * s);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(band, 2 * s, 2 * s);
    if (symbol) {
        symbol(p, band);
    } else if (!label.isEmpty()) {
        QFont font("DejaVu Sans");
        font.setBold(true);
        font.setPixelSize(size >= 32 ? (label.size() > 3 ? 8 : 10) : 7);
        if (size < 32 && label.size() > 1) {
            font.setPixelSize(6);
        }
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(band, Qt::AlignCenter, label);
    }
}

void Folder(QPainter& p, double size, const QColor& colour) {
    const double s = size / 16.0;
    p.setPen(Qt::NoPen);
    p.setBrush(colour.darker(115));
    QPainterPath tab;
    tab.addRoundedRect(QRectF(1 * s, 2.5 * s, 6 * s, 3 * s), 1 * s, 1 * s);
    p.drawPath(tab);
    p.drawRoundedRect(QRectF(1 * s, 4 * s, 14 * s, 10 * s), 1.2 * s, 1.2 * s);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(1 * s, 5.5 * s, 14 * s, 8.5 * s), 1.2 * s, 1.2 * s);
}

void FileIcons() {
    struct Type {
        const char* suffix;
        QColor colour;
        QString bigLabel;
        QString smallLabel;
        std::function<void(QPainter&, const QRectF&)> symbol;
    };
    auto picture = [](QPainter& p, const QRectF& band) {
        // A sun over two hills.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 230));
        double h = band.height();
        QPainterPath hills;
        hills.moveTo(band.left() + band.width() * 0.18, band.bottom() - h * 0.15);
        hills.lineTo(band.left() + band.width() * 0.42, band.top() + h * 0.25);
        hills.lineTo(band.left() + band.width() * 0.6, band.bottom() - h * 0.4);
        hills.lineTo(band.left() + band.width() * 0.7, band.top() + h * 0.45);
        hills.lineTo(band.left() + band.width() * 0.85, band.bottom() - h * 0.15);
        hills.closeSubpath();
        p.drawPath(hills);
        p.drawEllipse(QPointF(band.left() + band.width() * 0.78, band.top() + h * 0.3), h * 0.12,
                      h * 0.12);
    };
    auto note = [](QPainter& p, const QRectF& band) {
        p.setPen(QPen(Qt::white, std::max(1.0, band.height() * 0.1)));
        double h = band.height();
        QPointF stem(band.center().x() + h * 0.2, band.top() + h * 0.15);
        p.drawLine(stem, QPointF(stem.x(), band.bottom() - h * 0.3));
        p.drawLine(stem, QPointF(stem.x() + h * 0.3, stem.y() + h * 0.15));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(stem.x() - h * 0.14, band.bottom() - h * 0.28), h * 0.17, h * 0.13);
    };
    auto play = [](QPainter& p, const QRectF& band) {
        double h = band.height() * 0.62;
        PlayTriangle(p, Qt::white,
                     QRectF(band.center().x() - h / 2, band.center().y() - h / 2, h, h));
    };
    auto person = [](QPainter& p, const QRectF& band) {
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        double h = band.height();
        p.drawEllipse(QPointF(band.center().x(), band.top() + h * 0.35), h * 0.17, h * 0.17);
        p.drawChord(QRectF(band.center().x() - h * 0.32, band.top() + h * 0.55, h * 0.64, h * 0.6),
                    0, 180 * 16);
    };
    auto grid = [](QPainter& p, const QRectF& band) {
        p.setPen(QPen(Qt::white, std::max(1.0, band.height() * 0.08)));
        p.setBrush(Qt::NoBrush);
        double h = band.height() * 0.64;
        QRectF cells(band.center().x() - h * 0.8, band.center().y() - h / 2, h * 1.6, h);
        p.drawRect(cells);
        p.drawLine(QPointF(cells.left(), cells.center().y()), QPointF(cells.right(), cells.center().y()));
        for (int i = 1; i < 3; ++i) {
            double x = cells.left() + cells.width() * i / 3;
            p.drawLine(QPointF(x, cells.top()), QPointF(x, cells.bottom()));
        }
    };
    const Type types[] = {
        {"txt", QColor(0x6B, 0x7A, 0x8A), "TXT", "T", {}},
        {"word", QColor(0x2B, 0x5C, 0xC4), "DOC", "W", {}},
        {"excel", QColor(0x1E, 0x8C, 0x4E), "XLS", "X", {}},
        {"ppt", QColor(0xD2, 0x5A, 0x2B), "PPT", "P", {}},
        {"pdf", QColor(0xC8, 0x32, 0x32), "PDF", "P", {}},
        {"rar", QColor(0x8A, 0x5C, 0xB8), "ZIP", "Z", {}},
        {"csv", QColor(0x3C, 0x9D, 0x8F), "CSV", "C", {}},
        {"img", QColor(0x2E, 0x9C, 0xCA), "", "", picture},
        {"grid", QColor(0x4F, 0x8F, 0x3A), "", "", grid},
        {"audio", QColor(0xE0, 0x8A, 0x1E), "", "", note},
        {"video", QColor(0x7A, 0x4D, 0xC9), "", "", play},
        {"vcf", QColor(0x3A, 0x7C, 0xA8), "", "", person},
        {"default", kGrey, "", "", {}},
    };
    for (const auto& type : types) {
        Draw(50, 50, QString("cdBig_%1.png").arg(type.suffix), [&](QPainter& p) {
            Document(p, 50, type.colour, type.bigLabel, type.symbol);
        });
        Draw(16, 16, QString("cdSmall_%1.png").arg(type.suffix), [&](QPainter& p) {
            Document(p, 16, type.colour, type.smallLabel, type.symbol);
        });
    }
    // The folder of the backup list.
    Draw(16, 16, "cdSmall_4.png", [](QPainter& p) { Folder(p, 16, QColor(0xF2, 0xB8, 0x3C)); });
    Draw(50, 50, "cdBig_4.png", [](QPainter& p) {
        p.translate(1, 3);
        Folder(p, 48, QColor(0xF2, 0xB8, 0x3C));
    });
}

void TransferIcons() {
    Draw(16, 16, "tx_upload.png", [](QPainter& p) { TransferIcon(p, kBlue, true); });
    Draw(16, 16, "tx_download.png", [](QPainter& p) { TransferIcon(p, kGreen, false); });
    Draw(16, 16, "pause_n.png", [](QPainter& p) { PauseBars(p, kBlue, QRectF(2, 2, 12, 12)); });
    Draw(16, 16, "play_n.png", [](QPainter& p) { PlayTriangle(p, kBlue, QRectF(2, 2, 12, 12)); });
    Draw(16, 16, "play_g.png", [](QPainter& p) { PlayTriangle(p, kGrey, QRectF(2, 2, 12, 12)); });

    Draw(16, 16, "btn_start.png", [](QPainter& p) {
        RowButton(p, kGrey);
        PlayTriangle(p, kGrey, QRectF(5, 4.5, 7, 7));
    });
    Draw(16, 16, "btn_play.png", [](QPainter& p) {
        RowButton(p, kBlue);
        PlayTriangle(p, kBlue, QRectF(5, 4.5, 7, 7));
    });
    Draw(16, 16, "btn_pause.png", [](QPainter& p) {
        RowButton(p, kBlue);
        PauseBars(p, kBlue, QRectF(4.5, 4.5, 7, 7));
    });
    Draw(16, 16, "btn_del.png", [](QPainter& p) {
        RowButton(p, kRed);
        p.setPen(QPen(kRed, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 10.5));
        p.drawLine(QPointF(10.5, 5.5), QPointF(5.5, 10.5));
    });
}

void ProgressImages() {
    Draw(16, 6, "progress_bg.png", [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xE4, 0xE8, 0xEC));
        p.drawRoundedRect(QRectF(0, 0, 16, 6), 3, 3);
    });
    Draw(16, 6, "progress_in.png", [](QPainter& p) {
        QLinearGradient fill(0, 0, 0, 6);
        fill.setColorAt(0, kBlue.lighter(125));
        fill.setColorAt(1, kBlue);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(0, 0, 16, 6), 3, 3);
    });
}

// The product mark: a cloud with an upward arrow.
void Cloud(QPainter& p, double size, const QColor& colour, const QColor& arrowColour = Qt::white) {
    const double s = size / 24.0;
    QPainterPath cloud;
    cloud.addEllipse(QRectF(2 * s, 9 * s, 9 * s, 9 * s));
    cloud.addEllipse(QRectF(6 * s, 4 * s, 12 * s, 12 * s));
    cloud.addEllipse(QRectF(13 * s, 8.5 * s, 9 * s, 9.5 * s));
    cloud.addRoundedRect(QRectF(6 * s, 12 * s, 12 * s, 6 * s), 1, 1);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(cloud.simplified());
    p.setBrush(arrowColour);
    QPainterPath arrow;
    arrow.moveTo(12 * s, 7.5 * s);
    arrow.lineTo(15.5 * s, 11.5 * s);
    arrow.lineTo(13.2 * s, 11.5 * s);
    arrow.lineTo(13.2 * s, 16 * s);
    arrow.lineTo(10.8 * s, 16 * s);
    arrow.lineTo(10.8 * s, 11.5 * s);
    arrow.lineTo(8.5 * s, 11.5 * s);
    arrow.closeSubpath();
    p.drawPath(arrow);
}

void Marks(const QString& artDir) {
    // Shown on the transfer manager's blue title bar.
    Draw(24, 24, "logo.png", [](QPainter& p) { Cloud(p, 24, Qt::white, kBlue); });
    // The backup folders' custom icon: a folder carrying the cloud.
    QImage icon = Canvas(48, 48);
    {
        QPainter p(&icon);
        p.setRenderHint(QPainter::Antialiasing);
        Folder(p, 48, QColor(0xF2, 0xB8, 0x3C));
        p.translate(20, 20);
        p.setBrush(Qt::white);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(0, 0, 26, 26));
        p.translate(1, 1);
        Cloud(p, 24, kBlue);
    }
    QImageWriter writer(artDir + "/abfoldicon.ico", "ico");
    if (!writer.write(icon)) {
        std::fprintf(stderr, "cannot write abfoldicon.ico: %s\n", qPrintable(writer.errorString()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <skin folder> <art folder>\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    g_skinDir = QString::fromLocal8Bit(argv[1]);
    FileIcons();
    TransferIcons();
    ProgressImages();
    Marks(QString::fromLocal8Bit(argv[2]));
    return 0;
}
