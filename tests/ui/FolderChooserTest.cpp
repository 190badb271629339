#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "UiTestApp.h"
#include "core/Options.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"
#include "ui/CFolderChooserDlg.h"

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

namespace {

class FolderChooserTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        COptions::GetInstance().m_uiLanguage = 1033;
        for (const char* folder : {"beta/deep/deeper", "Alpha", "gamma", ".hidden/inside"}) {
            fs::create_directories(root / folder);
        }
        std::ofstream(root / "file.txt") << "not a folder";
        fs::create_directory_symlink(root / "beta", root / "link-to-beta");
    }

    static QStringList Children(QTreeWidgetItem* item) {
        QStringList names;
        for (int i = 0; i < item->childCount(); ++i) {
            names << item->child(i)->text(0);
        }
        return names;
    }
    static void Key(QWidget* target, int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &press);
    }

    zorp::test::TempDir root;
};

}  // namespace

TEST_F(FolderChooserTest, StartsAtTheRootsAndListsSubfoldersOnlyWhenOpened) {
    CFolderChooserDlg chooser(nullptr, {root.path(), root / "missing"});
    QTreeWidget* tree = chooser.Tree();
    // A root that does not exist is left out.
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* top = tree->topLevelItem(0);
    EXPECT_EQ(CFolderChooserDlg::PathOf(top), root.path());
    EXPECT_FALSE(CFolderChooserDlg::IsLoaded(top));
    EXPECT_EQ(top->childCount(), 0);
    EXPECT_EQ(top->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

    top->setExpanded(true);
    EXPECT_TRUE(CFolderChooserDlg::IsLoaded(top));
    // Folders only, by name regardless of case; no hidden folder, no file, no link.
    EXPECT_EQ(Children(top), (QStringList{"Alpha", "beta", "gamma"}));
    QTreeWidgetItem* beta = chooser.FindItem(root / "beta");
    ASSERT_TRUE(beta);
    EXPECT_FALSE(CFolderChooserDlg::IsLoaded(beta));
    EXPECT_EQ(beta->childCount(), 0);
    EXPECT_FALSE(chooser.FindItem(root / "beta" / "deep"));

    beta->setExpanded(true);
    EXPECT_EQ(Children(beta), (QStringList{"deep"}));
    // Opening again lists nothing twice.
    beta->setExpanded(false);
    beta->setExpanded(true);
    EXPECT_EQ(Children(beta), (QStringList{"deep"}));

    // A folder without subfolders loses its opener once looked into.
    QTreeWidgetItem* gamma = chooser.FindItem(root / "gamma");
    ASSERT_TRUE(gamma);
    gamma->setExpanded(true);
    EXPECT_EQ(gamma->childCount(), 0);
    EXPECT_EQ(gamma->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

TEST_F(FolderChooserTest, TickedFoldersAreReturnedInTreeOrderAndTheKeyboardTicks) {
    CFolderChooserDlg chooser(nullptr, {root.path()});
    QTreeWidget* tree = chooser.Tree();
    QTreeWidgetItem* top = tree->topLevelItem(0);
    EXPECT_TRUE(chooser.GetCheckedFolders().empty());
    EXPECT_EQ(top->checkState(0), Qt::Unchecked);

    // Keyboard only: Right opens the root, Down goes to its first folder, Space ticks it.
    tree->setFocus();
    tree->setCurrentItem(top);
    Key(tree, Qt::Key_Right);
    EXPECT_TRUE(top->isExpanded());
    Key(tree, Qt::Key_Down);
    ASSERT_EQ(tree->currentItem(), chooser.FindItem(root / "Alpha"));
    Key(tree, Qt::Key_Space);
    EXPECT_EQ(tree->currentItem()->checkState(0), Qt::Checked);

    chooser.FindItem(root / "beta")->setExpanded(true);
    chooser.FindItem(root / "beta" / "deep")->setCheckState(0, Qt::Checked);
    chooser.FindItem(root / "gamma")->setCheckState(0, Qt::Checked);
    // Closing a parent keeps what is ticked inside it.
    chooser.FindItem(root / "beta")->setExpanded(false);
    EXPECT_EQ(chooser.GetCheckedFolders(),
              (Paths{root / "Alpha", root / "beta" / "deep", root / "gamma"}));
    // Space again unticks.
    tree->setCurrentItem(chooser.FindItem(root / "Alpha"));
    Key(tree, Qt::Key_Space);
    EXPECT_EQ(chooser.GetCheckedFolders(), (Paths{root / "beta" / "deep", root / "gamma"}));
}

TEST_F(FolderChooserTest, ChooseReturnsTheTickedFoldersOnOkAndNothingOnCancel) {
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(root.path().string()));
    EXPECT_EQ(CFolderChooserDlg::DefaultRoots(), (Paths{root.path(), "/"}));

    for (bool accept : {true, false}) {
        SCOPED_TRACE(accept);
        QTimer::singleShot(0, [&] {
            auto* chooser = dynamic_cast<CFolderChooserDlg*>(QApplication::activeModalWidget());
            ASSERT_TRUE(chooser);
            ASSERT_EQ(chooser->Tree()->topLevelItemCount(), 2);
            EXPECT_EQ(CFolderChooserDlg::PathOf(chooser->Tree()->topLevelItem(1)), fs::path("/"));
            chooser->Tree()->topLevelItem(0)->setExpanded(true);
            chooser->FindItem(root / "gamma")->setCheckState(0, Qt::Checked);
            if (accept) {
                // Enter chooses: OK is the default button.
                Key(chooser->Tree(), Qt::Key_Return);
            } else {
                Key(chooser->Tree(), Qt::Key_Escape);
            }
        });
        const Paths chosen = CFolderChooserDlg::Choose(nullptr);
        EXPECT_EQ(chosen, accept ? Paths{root / "gamma"} : Paths{});
    }
    qputenv("HOME", savedHome);
}

TEST_F(FolderChooserTest, EveryControlIsNamedForScreenReaders) {
    CFolderChooserDlg chooser(nullptr, {root.path()});
    EXPECT_FALSE(chooser.windowTitle().isEmpty());
    EXPECT_FALSE(chooser.accessibleName().isEmpty());
    for (QWidget* widget : chooser.findChildren<QWidget*>()) {
        if (!(widget->focusPolicy() & Qt::TabFocus)) {
            continue;
        }
        EXPECT_FALSE(widget->accessibleName().trimmed().isEmpty())
            << widget->objectName().toStdString();
    }
    EXPECT_EQ(chooser.findChild<QPushButton*>("chooserOkBtn")->text(), "OK");
    EXPECT_EQ(chooser.findChild<QPushButton*>("chooserCancelBtn")->text(), "Cancel");
}

TEST_F(FolderChooserTest, AFolderThatCannotBeReadOpensEmpty) {
    ::chmod(root.path().c_str(), 0777);
    fs::create_directories(root / "locked" / "secret");
    ::chmod((root / "locked").c_str(), 0700);  // root's, not readable by the child
    const int result = zorp::test::RunUnprivileged([&] {
        CFolderChooserDlg chooser(nullptr, {root / "locked"});
        QTreeWidgetItem* top = chooser.Tree()->topLevelItem(0);
        if (!top) {
            return 1;
        }
        top->setExpanded(true);
        return top->childCount() == 0 && CFolderChooserDlg::IsLoaded(top) ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
}
