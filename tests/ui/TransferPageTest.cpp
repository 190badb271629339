#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UiTestApp.h"
#include "core/Options.h"
#include "ui/PaintManagerUI.h"
#include "ui/TransferPage.h"
#include "ui/TransferRow.h"

namespace {

// A page whose rows are driven by the test; a click on a row's button runs `onClick`.
class TestPage : public TransferPage {
public:
    TestPage() : TransferPage("upld", TransferRow::Direction::kUpload) {}
    using TransferPage::AddFinishedRow;
    using TransferPage::AddRow;

    bool OnRowClick(const std::string& name, QWidget* sender) override {
        if (onClick) {
            onClick(name, sender);
        }
        return true;
    }
    std::function<void(const std::string&, QWidget*)> onClick;
};

class TransferPageTest : public testing::Test {
protected:
    void SetUp() override {
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
        page.Attach(&list, &count, [this](QWidget* row) {
            for (auto* button : row->findChildren<QPushButton*>()) {
                if (button->property("testBound").toBool()) {
                    continue;
                }
                button->setProperty("testBound", true);
                QObject::connect(button, &QPushButton::clicked, [this, button] {
                    page.OnRowClick(button->objectName().toStdString(), button);
                });
            }
        });
    }

    // The widgets of the list, top to bottom.
    std::vector<QWidget*> Rows() const {
        std::vector<QWidget*> rows;
        for (int i = 0; i < list.count(); ++i) {
            rows.push_back(list.itemWidget(list.item(i)));
        }
        return rows;
    }

    static void RunEvents() {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static TransferRow::Links OpenLinks(const std::string& file) {
        TransferRow::Links links;
        links.open = true;
        links.folder = true;
        links.file = file;
        return links;
    }

    // Made after the application (UiLoop), in this order; the page goes first.
    struct Parts {
        QListWidget list;
        QLabel count;
        TestPage page;
    };
    std::unique_ptr<Parts> parts = (zorp::test::UiLoop(), std::make_unique<Parts>());
    QListWidget& list = parts->list;
    QLabel& count = parts->count;
    TestPage& page = parts->page;
};

// A finishing row keeps its widget: it moves below the rows still listed, on top of the older
// finished rows, loses its start/pause button and gains its links.
TEST_F(TransferPageTest, AFinishedRowIsTheListedRowMovedBelowTheListedOnes) {
    QWidget* a = page.AddRow(1, "a.txt");
    QWidget* b = page.AddRow(2, "b.txt");
    QWidget* c = page.AddRow(3, "c.txt");
    QWidget* older = page.AddFinishedRow(9, "old.txt", OpenLinks("/x/old.txt"));
    ASSERT_EQ(Rows(), (std::vector<QWidget*>{a, b, c, older}));

    QPointer<QWidget> control = TransferRow::Find(b, "ctrl_btn");
    ASSERT_TRUE(control);
    EXPECT_EQ(page.AddFinishedRow(2, "b.txt", OpenLinks("/x/b.txt")), b);
    EXPECT_EQ(Rows(), (std::vector<QWidget*>{a, c, b, older}));
    EXPECT_EQ(page.RowOf(2), nullptr);
    EXPECT_EQ(page.FinishedRowOf(2), b);
    EXPECT_EQ(page.GetActiveRowCount(), 2u);
    EXPECT_EQ(page.GetFinishedRowCount(), 2u);
    EXPECT_TRUE(TransferRow::IsFinished(b));
    EXPECT_FALSE(TransferRow::Find(b, "ctrl_btn"));
    RunEvents();
    EXPECT_FALSE(control) << "the start/pause button goes";

    // The first listed row moves below the other listed one; the last listed row stays put.
    EXPECT_EQ(page.AddFinishedRow(1, "a.txt", OpenLinks("/x/a.txt")), a);
    EXPECT_EQ(Rows(), (std::vector<QWidget*>{c, a, b, older}));
    EXPECT_EQ(page.AddFinishedRow(3, "c.txt", OpenLinks("/x/c.txt")), c);
    EXPECT_EQ(Rows(), (std::vector<QWidget*>{c, a, b, older}));
    RunEvents();
    for (QWidget* row : {a, b, c}) {
        EXPECT_EQ(row->findChildren<QPushButton*>().size(), 3) << "open_file, foldOpen, del_btn";
    }

    // The links of a row finished in place are bound like those of a new finished row.
    std::vector<std::string> clicked;
    page.onClick = [&](const std::string& name, QWidget* sender) {
        clicked.push_back(name + ":" + TransferRow::FileOf(sender).string());
    };
    qobject_cast<QPushButton*>(TransferRow::Find(b, "open_file"))->click();
    EXPECT_EQ(clicked, std::vector<std::string>{"open_file:/x/b.txt"});
}

// The end may arrive while Qt is still inside a click on the row's own start/pause button.
TEST_F(TransferPageTest, ARowFinishedFromInsideAClickOnItsOwnButtonSurvivesIt) {
    QWidget* row = page.AddRow(1, "a.txt");
    page.AddRow(2, "b.txt");
    page.onClick = [&](const std::string& name, QWidget* sender) {
        if (name == "ctrl_btn") {
            page.AddFinishedRow(TransferRow::IdOf(sender), "a.txt", OpenLinks("/x/a.txt"));
        }
    };
    auto* control = qobject_cast<QPushButton*>(TransferRow::Find(row, "ctrl_btn"));
    ASSERT_TRUE(control);
    control->setEnabled(true);
    control->click();
    RunEvents();
    EXPECT_EQ(page.FinishedRowOf(1), row);
    EXPECT_TRUE(TransferRow::Find(row, "open_file"));
    EXPECT_EQ(list.itemWidget(list.item(1)), row);
}

// A row listed under another name would keep the wrong icon and name: it is built anew.
TEST_F(TransferPageTest, ARowListedUnderAnotherNameIsBuiltAgain) {
    QPointer<QWidget> listed = page.AddRow(1, "draft.txt");
    page.AddRow(2, "b.txt");
    QWidget* finished = page.AddFinishedRow(1, "final.pdf", OpenLinks("/x/final.pdf"));
    ASSERT_TRUE(finished);
    EXPECT_NE(finished, listed.data());
    EXPECT_EQ(finished->accessibleName(), "final.pdf");
    EXPECT_EQ(qobject_cast<QLabel*>(TransferRow::Find(finished, "upld_name"))->text(), "final.pdf");
    EXPECT_FALSE(TransferRow::Find(finished, "ctrl_btn"));
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.itemWidget(list.item(1)), finished);
    RunEvents();
    EXPECT_FALSE(listed) << "the listed row went with its item";
}

// Finishing a task that has no listed row (its row was removed) still shows it finished.
TEST_F(TransferPageTest, ATaskWithoutAListedRowGetsANewFinishedRow) {
    page.AddRow(1, "a.txt");
    QWidget* finished = page.AddFinishedRow(5, "e.txt", OpenLinks("/x/e.txt"));
    ASSERT_TRUE(finished);
    EXPECT_EQ(Rows(), (std::vector<QWidget*>{page.RowOf(1), finished}));
    EXPECT_TRUE(TransferRow::Find(finished, "foldOpen"));
    EXPECT_FALSE(TransferRow::Find(finished, "ctrl_btn"));
}

}  // namespace
