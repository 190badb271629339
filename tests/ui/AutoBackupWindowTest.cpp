#include <gtest/gtest.h>

#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "UiTestApp.h"
#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/SystemInfo.h"
#include "support/RecordingWindow.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "ui/CAutoBackupUiDlg.h"
#include "ui/CFolderChooserDlg.h"
#include "ui/PaintManagerUI.h"

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;
using zorp::test::Rows;

namespace {

constexpr int kUser = 11;

class AutoBackupWindowTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions& options = COptions::GetInstance();
        options.m_uiLanguage = 1033;
        options.ClearBackupFolders();
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(kUser));
        ASSERT_TRUE(CWriteDbMgr::GetInstance().Start());
        for (const char* name : {"Photos", "Music", "Work", "Films", "Books", "Games", "Notes"}) {
            fs::create_directories(folders / name);
        }
        engine.Attach();
        dlg = std::make_unique<CAutoBackupUiDlg>();
        dlg->Init(QGuiApplication::primaryScreen()->geometry(), engine.GetHandle());
    }
    void TearDown() override {
        dlg.reset();
        EXPECT_TRUE(CWriteDbMgr::GetInstance().Flush(20000));
        CWriteDbMgr::GetInstance().Stop();
        COptions::GetInstance().ClearBackupFolders();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
    }

    // A saved choice, as a sign-in leaves it.
    void Save(const Paths& paths, int speed = 0) {
        COptions& options = COptions::GetInstance();
        options.SetBackupPaths(paths);
        options.ApplyBackupSelection();
        options.SetAutoBackupSpeed(speed);
        ASSERT_TRUE(CWriteDbMgr::GetInstance().Flush(20000));
    }
    fs::path F(const char* name) const { return folders / name; }
    QPushButton* Button(const char* name) const { return dlg->FindControl<QPushButton>(name); }
    QLineEdit* Speed() const { return dlg->FindControl<QLineEdit>("speedEdit"); }
    QListWidget* List() const { return dlg->FindControl<QListWidget>("autobackup_list"); }
    QPushButton* DeleteButton(int row) const {
        QWidget* widget = List()->itemWidget(List()->item(row));
        return widget ? widget->findChild<QPushButton*>("del_btn") : nullptr;
    }
    // Posted messages are delivered once the loop runs.
    size_t ChangedMessages() {
        zorp::test::UiLoop().RunUntil([] { return false; }, 50);
        return engine.Count(WM_BACKUP_WORK);  // kBackupFoldersChanged: the only one it posts
    }
    static Paths Saved() {
        Paths paths;
        for (const auto& record : COptions::GetInstance().GetBackupRecords()) {
            paths.push_back(record.path);
        }
        return paths;
    }
    Rows StoredFolders() {
        EXPECT_TRUE(CWriteDbMgr::GetInstance().Flush(20000));
        return zorp::test::QueryRows(COptions::GetInstance().GetDatabasePath(DBWrapper::kConfigDb),
                                     "SELECT path, userid FROM autobackupdir ORDER BY id;");
    }
    Rows StoredSpeed() {
        return zorp::test::QueryRows(
            COptions::GetInstance().GetDatabasePath(DBWrapper::kConfigDb),
            "SELECT value FROM userconfig WHERE kind='folders' AND name='auto_backup_speed';");
    }

    zorp::test::ScopedXdgHome home;
    zorp::test::TempDir folders;
    zorp::test::RecordingWindow engine;  // stands for the drop window's dispatcher
    std::unique_ptr<CAutoBackupUiDlg> dlg;
};

}  // namespace

TEST_F(AutoBackupWindowTest, CreatedHiddenCentredWithTheCaptionOfItsLanguage) {
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->objectName(), "ZorpAutoBackupUi");
    EXPECT_FALSE(dlg->UsesFallbackLayout());
    EXPECT_EQ(dlg->GetSkinPath().filename(), "autobackup_ENU.xml");
    EXPECT_EQ(dlg->size(), QSize(430, 400));
    EXPECT_EQ(dlg->geometry().center(), QGuiApplication::primaryScreen()->geometry().center());
    EXPECT_EQ(dlg->windowTitle().toStdString(), "AutoBackupConfiguration");
}

TEST_F(AutoBackupWindowTest, FiveFoldersDisableAddAndRemovingOneEnablesIt) {
    Save({F("Photos"), F("Music")}, 0);
    dlg->ShowDlg();
    ASSERT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->GetShownFolders(), (Paths{F("Photos"), F("Music")}));
    EXPECT_EQ(List()->count(), 2);
    EXPECT_TRUE(Button("addFoldBtn")->isEnabled());

    // Four chosen at once: three fit, the fourth is left out and the user is told.
    EXPECT_EQ(dlg->AddFolders({F("Work"), F("Films"), F("Books"), F("Games")}), 3);
    EXPECT_EQ(dlg->GetShownFolders().size(), 5u);
    EXPECT_EQ(List()->count(), 5);
    EXPECT_FALSE(Button("addFoldBtn")->isEnabled());
    EXPECT_NE(dlg->GetNoteText().indexOf("At most 5"), -1) << dlg->GetNoteText().toStdString();
    // With the button disabled nothing more can come in, not even through the handler.
    int chooserOpened = 0;
    dlg->SetFolderChooser([&](QWidget*) {
        ++chooserOpened;
        return Paths{F("Notes")};
    });
    dlg->OnAddFolder();
    EXPECT_EQ(chooserOpened, 0);

    // Removing the third row (its own button) takes that folder out and enables add again.
    ASSERT_TRUE(DeleteButton(2));
    DeleteButton(2)->click();
    EXPECT_EQ(dlg->GetShownFolders(), (Paths{F("Photos"), F("Music"), F("Films"), F("Books")}));
    EXPECT_EQ(List()->count(), 4);
    EXPECT_TRUE(Button("addFoldBtn")->isEnabled());
    Button("addFoldBtn")->click();
    EXPECT_EQ(chooserOpened, 1);
    EXPECT_EQ(dlg->GetShownFolders().back(), F("Notes"));
    EXPECT_FALSE(Button("addFoldBtn")->isEnabled());
}

TEST_F(AutoBackupWindowTest, AFolderListedInAnotherLetterCaseAddsNothing) {
    Save({F("Photos")}, 0);
    dlg->ShowDlg();
    const fs::path upper = folders.path() / "PHOTOS";
    const fs::path lowerWithSlash = (folders.path() / "photos").string() + "/";
    EXPECT_EQ(dlg->AddFolders({upper, lowerWithSlash, F("Photos")}), 0);
    EXPECT_EQ(dlg->GetShownFolders(), (Paths{F("Photos")}));
    EXPECT_FALSE(dlg->IsChanged());
    // Two spellings of one new folder in one choice add it once.
    EXPECT_EQ(dlg->AddFolders({F("Music"), folders.path() / "MUSIC"}), 1);
    EXPECT_EQ(dlg->GetShownFolders(), (Paths{F("Photos"), F("Music")}));

    // A confirmed visit without a change tells the engine nothing: neither a folder added and
    // removed again, nor one removed and added again.
    dlg->RemoveFolder(1);
    EXPECT_FALSE(dlg->IsChanged());
    dlg->AddFolders({F("Music")});
    dlg->RemoveFolder(0);
    dlg->AddFolders({F("Photos")});
    EXPECT_EQ(dlg->GetShownFolders(), (Paths{F("Music"), F("Photos")}));
    dlg->RemoveFolder(0);
    EXPECT_FALSE(dlg->IsChanged());
    ASSERT_TRUE(dlg->Confirm());
    EXPECT_EQ(ChangedMessages(), 0u);
    EXPECT_EQ(Saved(), (Paths{F("Photos")}));
}

TEST_F(AutoBackupWindowTest, CancelCloseAndEscapeKeepTheSavedChoice) {
    Save({F("Photos"), F("Music")}, 25);
    for (const char* way : {"addCancelBtn", "closeBtn", "escape", "window manager"}) {
        SCOPED_TRACE(way);
        dlg->ShowDlg();
        dlg->AddFolders({F("Work")});
        dlg->RemoveFolder(0);
        Speed()->setText("900");
        // A selection someone put in the options' backup paths without applying it goes too.
        COptions::GetInstance().SetBackupPaths({F("Games")});
        const std::string how = way;
        if (how == "escape") {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(Speed(), &escape);
        } else if (how == "window manager") {
            dlg->close();
        } else {
            Button(way)->click();
        }
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_EQ(Saved(), (Paths{F("Photos"), F("Music")}));
        EXPECT_EQ(COptions::GetInstance().GetBackupPaths(), (Paths{F("Photos"), F("Music")}));
        EXPECT_EQ(COptions::GetInstance().GetAutoBackupSpeed(), 25);
        // Shown again: the saved choice, not the visit's.
        dlg->ShowDlg();
        EXPECT_EQ(dlg->GetShownFolders(), (Paths{F("Photos"), F("Music")}));
        EXPECT_EQ(Speed()->text(), "25");
        dlg->Cancel();
    }
    EXPECT_EQ(ChangedMessages(), 0u);
    EXPECT_EQ(StoredFolders(), (Rows{{F("Photos").string(), std::to_string(kUser)},
                                     {F("Music").string(), std::to_string(kUser)}}));
}

TEST_F(AutoBackupWindowTest, ASpeedThatIsNotAWholeNumberIsRefusedWithAVisibleNote) {
    Save({F("Photos")}, 40);
    dlg->ShowDlg();
    dlg->AddFolders({F("Music")});
    for (const char* bad : {"fast", "12abc", "", "-3", "3.5", "99999999999", "0x10"}) {
        SCOPED_TRACE(bad);
        Speed()->setText(bad);
        Button("addConfirmBtn")->click();
        EXPECT_TRUE(dlg->isVisible());
        QLabel* note = dlg->FindControl<QLabel>("abNoteLabel");
        ASSERT_TRUE(note);
        EXPECT_TRUE(note->isVisible());
        EXPECT_TRUE(note->text().startsWith("NOTE: ")) << note->text().toStdString();
        EXPECT_NE(note->text().indexOf("whole number"), -1);
        EXPECT_EQ(dlg->focusWidget(), Speed());
        // Nothing of the visit is stored while the speed is refused.
        EXPECT_EQ(COptions::GetInstance().GetAutoBackupSpeed(), 40);
        EXPECT_EQ(Saved(), (Paths{F("Photos")}));
    }
    EXPECT_EQ(StoredSpeed(), (Rows{{"40"}}));
    EXPECT_EQ(ChangedMessages(), 0u);

    // Editing the field takes the note away; a number with blanks around it is taken.
    Speed()->setText("");
    Speed()->insert(" 64 ");
    emit Speed()->textEdited(Speed()->text());
    EXPECT_TRUE(dlg->GetNoteText().isEmpty());
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(Speed(), &enter);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(COptions::GetInstance().GetAutoBackupSpeed(), 64);
    EXPECT_EQ(StoredSpeed(), (Rows{{"64"}}));
    EXPECT_EQ(Saved(), (Paths{F("Photos"), F("Music")}));
}

TEST_F(AutoBackupWindowTest, OkStoresTheFoldersAndTheSpeedInTheOptionsDatabase) {
    Save({F("Photos"), F("Music")}, 0);
    dlg->ShowDlg();
    dlg->RemoveFolder(0);
    dlg->AddFolders({F("Work"), F("Films")});
    Speed()->setText("128");
    Button("addConfirmBtn")->click();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(List()->count(), 0);
    EXPECT_EQ(ChangedMessages(), 1u);
    EXPECT_EQ(Saved(), (Paths{F("Music"), F("Work"), F("Films")}));
    EXPECT_EQ(COptions::GetInstance().GetBackupPaths(), Saved());
    const std::string user = std::to_string(kUser);
    EXPECT_EQ(StoredFolders(), (Rows{{F("Music").string(), user},
                                     {F("Work").string(), user},
                                     {F("Films").string(), user}}));
    EXPECT_EQ(StoredSpeed(), (Rows{{"128"}}));

    // A speed change alone is stored, and the engine is not told about folders.
    dlg->ShowDlg();
    EXPECT_EQ(dlg->GetShownFolders(), Saved());
    Speed()->setText("0");
    ASSERT_TRUE(dlg->Confirm());
    EXPECT_EQ(ChangedMessages(), 1u);
    EXPECT_EQ(StoredSpeed(), (Rows{{"0"}}));
    EXPECT_EQ(StoredFolders().size(), 3u);
}

// Folders are kept per account: with nobody signed in they would be stored under no one and
// never read back.
TEST_F(AutoBackupWindowTest, WithNobodySignedInNoFolderCanBeChosenButTheSpeedIsKept) {
    COptions::GetInstance().SetUserId(0);
    dlg->ShowDlg();
    EXPECT_FALSE(Button("addFoldBtn")->isEnabled());
    EXPECT_NE(dlg->GetNoteText().indexOf("Sign in"), -1) << dlg->GetNoteText().toStdString();
    EXPECT_EQ(dlg->AddFolders({F("Photos")}), 0);
    Speed()->setText("16");
    ASSERT_TRUE(dlg->Confirm());
    EXPECT_EQ(ChangedMessages(), 0u);
    EXPECT_TRUE(StoredFolders().empty());
    EXPECT_EQ(StoredSpeed(), (Rows{{"16"}}));

    // Once the page has said who it is, the window offers the folders again.
    COptions::GetInstance().SetUserId(kUser);
    dlg->ShowDlg();
    EXPECT_TRUE(Button("addFoldBtn")->isEnabled());
    EXPECT_TRUE(dlg->GetNoteText().isEmpty());
}

TEST_F(AutoBackupWindowTest, TheAddButtonOpensTheRealChooserAndTakesTheTickedFolders) {
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(folders.path().string()));
    dlg->SetFolderChooser(&CFolderChooserDlg::Choose);
    dlg->ShowDlg();
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* chooser = dynamic_cast<CFolderChooserDlg*>(QApplication::activeModalWidget());
        ASSERT_TRUE(chooser);
        seen = true;
        EXPECT_EQ(chooser->parentWidget(), dlg.get());
        QTreeWidgetItem* homeItem = chooser->Tree()->topLevelItem(0);
        ASSERT_TRUE(homeItem);
        EXPECT_EQ(CFolderChooserDlg::PathOf(homeItem), folders.path());
        homeItem->setExpanded(true);
        for (const char* name : {"Books", "Work"}) {
            QTreeWidgetItem* item = chooser->FindItem(folders / name);
            ASSERT_TRUE(item) << name;
            item->setCheckState(0, Qt::Checked);
        }
        chooser->findChild<QPushButton*>("chooserOkBtn")->click();
    });
    Button("addFoldBtn")->click();
    qputenv("HOME", savedHome);
    EXPECT_TRUE(seen);
    EXPECT_EQ(dlg->GetShownFolders(), (Paths{F("Books"), F("Work")}));
    EXPECT_TRUE(dlg->IsChanged());
    // The chooser is gone once it returned.
    EXPECT_TRUE(dlg->findChildren<QDialog*>().isEmpty());
}

TEST_F(AutoBackupWindowTest, RowTextsFollowTheShorteningRules) {
    EXPECT_EQ(CAutoBackupUiDlg::RowText("/home/erin/Photos").toStdString(), "Photos(/home/erin)");
    EXPECT_EQ(CAutoBackupUiDlg::RowText("/home/erin/Photos/").toStdString(), "Photos(/home/erin)");
    EXPECT_EQ(CAutoBackupUiDlg::RowText("/").toStdString(), "/");
    const std::string longName(31, 'n');
    EXPECT_EQ(CAutoBackupUiDlg::RowText("/a/" + longName).toStdString(),
              std::string(24, 'n') + "....(/a)");
    // Exactly 30 stays whole.
    EXPECT_EQ(CAutoBackupUiDlg::RowText("/a/" + std::string(30, 'n')).toStdString(),
              std::string(30, 'n') + "(/a)");
    // The location may take 58 less the name: "Photos" leaves 52.
    const std::string location52 = "/" + std::string(51, 'l');
    EXPECT_EQ(CAutoBackupUiDlg::RowText(location52 + "/Photos").toStdString(),
              "Photos(" + location52 + ")");
    const std::string location53 = "/" + std::string(52, 'l');
    EXPECT_EQ(CAutoBackupUiDlg::RowText(location53 + "/Photos").toStdString(),
              "Photos(" + location53.substr(0, 46) + "....)");
    // Characters, not bytes: a Chinese name of 30 characters is not cut.
    std::string chinese;
    for (int i = 0; i < 30; ++i) {
        chinese += "文";
    }
    EXPECT_EQ(CAutoBackupUiDlg::RowText("/d/" + chinese).toStdString(), chinese + "(/d)");
}

TEST_F(AutoBackupWindowTest, RowsShowTheFullPathAndEveryControlHasAnAccessibleName) {
    Save({F("Photos")}, 0);
    dlg->ShowDlg();
    QWidget* row = List()->itemWidget(List()->item(0));
    ASSERT_TRUE(row);
    auto* name = row->findChild<QLabel*>("dir_name");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->toolTip().toStdString(), F("Photos").string());
    EXPECT_TRUE(row->findChild<QLabel*>("file_img"));
    EXPECT_EQ(List()->item(0)->sizeHint().height(), CAutoBackupUiDlg::kRowHeight);
    for (QWidget* widget : dlg->findChildren<QWidget*>()) {
        const bool interactive = widget->focusPolicy() & Qt::TabFocus;
        if (!interactive || !widget->isVisibleTo(dlg.get())) {
            continue;
        }
        EXPECT_FALSE(widget->accessibleName().trimmed().isEmpty())
            << widget->objectName().toStdString() << " has no accessible name";
    }
    // Tab walks from the list through the row's button and the add button to the speed field.
    for (const char* control : {"autobackup_list", "addFoldBtn", "speedEdit", "addConfirmBtn",
                                "addCancelBtn", "closeBtn"}) {
        QWidget* widget = dlg->FindControl(control);
        ASSERT_TRUE(widget) << control;
        EXPECT_TRUE(widget->focusPolicy() & Qt::TabFocus) << control;
    }
    EXPECT_TRUE(DeleteButton(0)->focusPolicy() & Qt::TabFocus);
}

// The texts of the string table in each language, and every text fitting its control.
TEST(AutoBackupWindowLanguageTest, TextsOfEachLanguageFitTheirControls) {
    zorp::test::UiLoop();
    CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
    for (uint16_t language : {1033, 2052, 1028}) {
        SCOPED_TRACE(language);
        COptions::GetInstance().m_uiLanguage = language;
        CAutoBackupUiDlg dlg;
        dlg.Init(QGuiApplication::primaryScreen()->geometry(), platform::kNoWindow);
        EXPECT_FALSE(dlg.UsesFallbackLayout());
        auto text = [&](uint32_t id) {
            return QString::fromStdString(CMultiLanguageMgr::LoadString(id, language));
        };
        EXPECT_EQ(dlg.windowTitle(), text(117));
        EXPECT_EQ(dlg.FindControl<QLabel>("abHintLabel")->text(), text(119));
        EXPECT_EQ(dlg.FindControl<QPushButton>("addConfirmBtn")->text(), text(120));
        EXPECT_EQ(dlg.FindControl<QPushButton>("addCancelBtn")->text(), text(147));
        dlg.ShowDlg();
        if (qEnvironmentVariable("QT_SCALE_FACTOR") == "2") {
            EXPECT_EQ(dlg.devicePixelRatio(), 2.0);
        }
        dlg.FindControl<QLineEdit>("speedEdit")->setText("x");
        EXPECT_FALSE(dlg.Confirm());
        EXPECT_TRUE(dlg.GetNoteText().startsWith(text(121) + ": "));
        QCoreApplication::processEvents();
        for (auto* button : dlg.findChildren<QPushButton*>()) {
            if (button->isVisible() && !button->text().isEmpty()) {
                EXPECT_GE(button->width(), button->sizeHint().width())
                    << button->objectName().toStdString() << " cuts its text";
            }
        }
        for (auto* label : dlg.findChildren<QLabel*>()) {
            if (label->isVisible() && !label->wordWrap() && !label->text().isEmpty()) {
                EXPECT_GE(label->width(), label->sizeHint().width())
                    << label->objectName().toStdString() << " cuts its text";
            }
        }
        dlg.Cancel();
    }
    COptions::GetInstance().m_uiLanguage = 1033;
}

// The same at twice the size, as on a high-density screen: a process of its own, since the
// scale factor is read when the application starts.
TEST(AutoBackupWindowLanguageTest, TextsFitAtScaleFactorTwo) {
    if (qEnvironmentVariable("QT_SCALE_FACTOR") == "2") {
        GTEST_SKIP() << "already the scaled run";
    }
    zorp::test::UiLoop();
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_SCALE_FACTOR", "2");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QString::fromStdString((platform::ExecutableDir() / "zorp_ui_tests").string()),
                {"--gtest_filter=AutoBackupWindowLanguageTest.TextsOfEachLanguageFitTheirControls"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_NE(output.indexOf("[  PASSED  ] 1 test"), -1) << output.toStdString();
}
