#include "ui/ClipboardOffer.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

#include "core/Logging.h"

ClipboardOffer::ClipboardOffer(std::function<void()> onReleased)
    : m_onReleased(std::move(onReleased)) {
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        connect(clipboard, &QClipboard::dataChanged, this, &ClipboardOffer::OnClipboardChanged);
    }
}

ClipboardOffer::~ClipboardOffer() = default;

QMimeData* ClipboardOffer::MakeMimeData(const QString& path) {
    const QByteArray uri = QUrl::fromLocalFile(path).toEncoded();
    auto* data = new QMimeData();
    data->setData(QStringLiteral("text/uri-list"), uri + "\r\n");
    data->setData(QStringLiteral("x-special/gnome-copied-files"), "copy\n" + uri);
    data->setData(QStringLiteral("application/x-kde-cutselection"), "0");
    return data;
}

void ClipboardOffer::Offer(const QString& path) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) {
        LOG(ERROR) << "ClipboardOffer - no clipboard to put the copy on";
        return;
    }
    QMimeData* data = MakeMimeData(path);
    m_offering = false;  // our own change below is no release
    m_ours = data;
    clipboard->setMimeData(data, QClipboard::Clipboard);
    m_offering = true;
    VLOGF(1, "ClipboardOffer - %s is on the clipboard", path.toStdString());
}

void ClipboardOffer::OnClipboardChanged() {
    if (!m_offering) {
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    const bool stillOurs = clipboard && !m_ours.isNull() && clipboard->mimeData() == m_ours.data();
    if (stillOurs) {
        return;
    }
    m_offering = false;
    if (m_onReleased) {
        m_onReleased();
    }
}
