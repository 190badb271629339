#include "ui/SkinImage.h"

#include <QAbstractButton>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QRegularExpression>
#include <QVariant>
#include <QWidget>

#include <string>
#include <unordered_map>

#include "core/Logging.h"
#include "ui/PaintManagerUI.h"

namespace {

// Rows ask for the same few images thousands of times: what an image attribute parses to and
// the pixmaps made of its file are kept, the pixmaps for as long as the skin folders stay the
// same. QPixmap is shared, so a kept one costs no copy. A missing image is not kept: it is
// looked for again next time. Used on the GUI thread only, as every QPixmap.
constexpr size_t kMaxKept = 512;  // far more than the skins and the file types name

template <typename Value>
void KeepBounded(std::unordered_map<std::string, Value>& kept) {
    if (kept.size() >= kMaxKept) {
        kept.clear();
    }
}

template <typename Make>
QPixmap Kept(std::string key, Make make) {
    struct Pixmaps {
        uint64_t generation = 0;
        std::unordered_map<std::string, QPixmap> byKey;
    };
    static Pixmaps* pixmaps = new Pixmaps();
    const uint64_t generation = CPaintManagerUI::GetResourceGeneration();
    if (pixmaps->generation != generation) {
        pixmaps->byKey.clear();
        pixmaps->generation = generation;
    }
    if (auto it = pixmaps->byKey.find(key); it != pixmaps->byKey.end()) {
        return it->second;
    }
    QPixmap made = make();
    if (!made.isNull()) {
        KeepBounded(pixmaps->byKey);
        pixmaps->byKey.emplace(std::move(key), made);
    }
    return made;
}

std::string KeyOf(char kind, const SkinImage& image) {
    const QRect& d = image.dest;
    return std::string(1, kind) + std::to_string(d.left()) + ',' + std::to_string(d.top()) + ',' +
           std::to_string(d.width()) + ',' + std::to_string(d.height()) + ':' + image.file;
}

SkinImage Parsed(const std::string& attribute) {
    static auto* parsed = new std::unordered_map<std::string, SkinImage>();
    if (auto it = parsed->find(attribute); it != parsed->end()) {
        return it->second;
    }
    KeepBounded(*parsed);
    return parsed->emplace(attribute, SkinImage::Parse(attribute)).first->second;
}

}  // namespace

SkinImage SkinImage::Parse(const std::string& attribute) {
    SkinImage image;
    static const QRegularExpression kFile(QStringLiteral("file='([^']*)'"));
    static const QRegularExpression kDest(QStringLiteral("dest='(-?\\d+),(-?\\d+),(-?\\d+),(-?\\d+)'"));
    const QString text = QString::fromStdString(attribute);
    if (auto m = kFile.match(text); m.hasMatch()) {
        image.file = m.captured(1).toStdString();
    } else if (!text.contains('=')) {
        image.file = attribute;  // a bare file name
    }
    if (auto m = kDest.match(text); m.hasMatch()) {
        int left = m.captured(1).toInt();
        int top = m.captured(2).toInt();
        int right = m.captured(3).toInt();
        int bottom = m.captured(4).toInt();
        if (right > left && bottom > top) {
            image.dest = QRect(QPoint(left, top), QSize(right - left, bottom - top));
        }
    }
    return image;
}

QPixmap SkinImage::Pixmap() const {
    if (dest.isEmpty()) {
        return Kept(KeyOf('p', *this), [this] { return Load(); });
    }
    // Only the size matters to the scaled image.
    SkinImage sized = *this;
    sized.dest.moveTo(0, 0);
    return Kept(KeyOf('p', sized), [this] { return Load(); });
}

QPixmap SkinImage::Load() const {
    auto path = CPaintManagerUI::FindResourceFile(file);
    if (path.empty()) {
        return {};
    }
    QPixmap pixmap(QString::fromStdString(path.string()));
    if (pixmap.isNull() || dest.isEmpty()) {
        return pixmap;
    }
    return pixmap.scaled(dest.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QPixmap SkinImage::Render() const {
    return Kept(KeyOf('r', *this), [this] { return Draw(); });
}

QPixmap SkinImage::Draw() const {
    QPixmap image = Pixmap();
    if (image.isNull() || dest.isEmpty()) {
        return image;
    }
    QPixmap canvas(dest.right() + 1, dest.bottom() + 1);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.drawPixmap(dest.topLeft(), image);
    return canvas;
}

bool SkinImage::Apply(QWidget* widget, const std::string& attribute) {
    if (!widget) {
        return false;
    }
    const SkinImage image = Parsed(attribute);
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        QPixmap pixmap = image.Pixmap();
        if (pixmap.isNull()) {
            VLOGF(1, "SkinImage - image %s not found", image.file.c_str());
            return false;
        }
        // Keep a disabled look the skin gave, replace the normal one.
        QIcon icon = button->icon();
        QIcon updated(pixmap);
        for (const QSize& size : icon.availableSizes(QIcon::Disabled)) {
            updated.addPixmap(icon.pixmap(size, QIcon::Disabled), QIcon::Disabled);
        }
        button->setIcon(updated);
        button->setIconSize(pixmap.size());
        return true;
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        QPixmap pixmap = image.Render();
        if (pixmap.isNull()) {
            VLOGF(1, "SkinImage - image %s not found", image.file.c_str());
            return false;
        }
        label->setPixmap(pixmap);
        return true;
    }
    return false;
}

bool SkinImage::ApplyDisabled(QWidget* widget, const std::string& attribute) {
    auto* button = qobject_cast<QAbstractButton*>(widget);
    QPixmap pixmap = Parsed(attribute).Pixmap();
    if (!button || pixmap.isNull()) {
        return false;
    }
    QIcon icon = button->icon();
    icon.addPixmap(pixmap, QIcon::Disabled);
    button->setIcon(icon);
    if (button->iconSize().width() < pixmap.width()) {
        button->setIconSize(pixmap.size());
    }
    return true;
}

void SkinImage::ApplyProperties(QWidget* root) {
    if (!root) {
        return;
    }
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* widget : widgets) {
        for (const char* property : {"bkimage", "normalimage"}) {
            QVariant value = widget->property(property);
            if (value.isValid()) {
                Apply(widget, value.toString().toStdString());
            }
        }
        QVariant disabled = widget->property("disabledimage");
        if (disabled.isValid()) {
            ApplyDisabled(widget, disabled.toString().toStdString());
        }
    }
}
