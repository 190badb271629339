#include "ui/SkinImage.h"

#include <QAbstractButton>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QRegularExpression>
#include <QVariant>
#include <QWidget>

#include "core/Logging.h"
#include "ui/PaintManagerUI.h"

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
    SkinImage image = Parse(attribute);
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
    QPixmap pixmap = Parse(attribute).Pixmap();
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
