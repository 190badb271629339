#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include "UiTestApp.h"
#include "ui/ClipboardOffer.h"

TEST(ClipboardOfferTest, OffersTheFileAsACopyInTheFormatsFileManagersReadAndSeesItReplaced) {
    zorp::test::UiLoop();
    int released = 0;
    ClipboardOffer offer([&] { ++released; });
    offer.Offer(QStringLiteral("/run/user/1000/zorp-clipboard/Quorva.txt"));
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->data("text/uri-list"), "file:///run/user/1000/zorp-clipboard/Quorva.txt\r\n");
    EXPECT_EQ(data->data("x-special/gnome-copied-files"),
              "copy\nfile:///run/user/1000/zorp-clipboard/Quorva.txt");
    EXPECT_EQ(data->data("application/x-kde-cutselection"), "0");
    EXPECT_TRUE(offer.IsOffering());
    EXPECT_EQ(released, 0) << "our own offer is no release";

    // A second offer (a new copy in the page) replaces the first without a release.
    offer.Offer(QStringLiteral("/tmp/a b/Quorva.txt"));
    EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->data("text/uri-list"),
              "file:///tmp/a%20b/Quorva.txt\r\n");
    EXPECT_EQ(released, 0);

    // The user copies something else.
    QGuiApplication::clipboard()->setText(QStringLiteral("other text"));
    EXPECT_EQ(released, 1);
    EXPECT_FALSE(offer.IsOffering());
    QGuiApplication::clipboard()->setText(QStringLiteral("more"));
    EXPECT_EQ(released, 1) << "released once";
}
