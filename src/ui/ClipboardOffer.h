#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QMimeData;

// Puts one local file on the clipboard the way desktop file managers copy files (GNOME,
// KDE and the rest: the file's URI as "copy"), and says when another copy replaces it.
class ClipboardOffer : public QObject {
public:
    explicit ClipboardOffer(std::function<void()> onReleased);
    ~ClipboardOffer() override;

    void Offer(const QString& path);
    bool IsOffering() const { return m_offering; }

    // The formats of a copied file: text/uri-list, x-special/gnome-copied-files ("copy" and
    // the URI) and application/x-kde-cutselection ("0": a copy, not a cut).
    static QMimeData* MakeMimeData(const QString& path);

private:
    void OnClipboardChanged();

    std::function<void()> m_onReleased;
    QPointer<QMimeData> m_ours;
    bool m_offering = false;
};
