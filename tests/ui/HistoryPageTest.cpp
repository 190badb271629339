// The history page of the transfer manager reading and clearing a real log database.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "UiTestApp.h"
#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "support/ScopedXdgHome.h"
#include "support/TestDatabases.h"
#include "support/WaitFor.h"
#include "ui/CHistoryPage.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/TransferRow.h"

namespace {

using zorp::test::QueryRows;

constexpr int kUser = 7;
constexpr int kOtherUser = 8;

class HistoryPageTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(kUser));
        logDb = COptions::GetInstance().GetDatabasePath(DBWrapper::kLogDb);
        dlg = std::make_unique<CMainUiDlg>();
        dlg->Create("Transmission Manager",
                    CMainUiDlg::DefaultGeometry(QGuiApplication::primaryScreen()->availableGeometry()),
                    {});
        list = dlg->FindControl<QListWidget>("hist_list_tab");
        RowFileActions recorder;
        recorder.openFile = [this](const std::filesystem::path& file) { opened.push_back(file); };
        recorder.openFolder = [this](const std::filesystem::path& folder) {
            explored.push_back(folder);
        };
        page().SetFileActions(recorder);
    }
    void TearDown() override { dlg.reset(); }

    CHistoryPage& page() { return dlg->GetHistoryPage(); }

    void Insert(int user, const std::string& name, const std::string& folder, int64_t size, int type,
                const std::string& time) {
        DBWrapper db(logDb);
        ASSERT_TRUE(db.open()) << db.errorText();
        ASSERT_TRUE(db.executeSQL("INSERT INTO log VALUES(NULL,'" + DBWrapper::EscapeText(name) +
                                  "','" + DBWrapper::EscapeText(folder) + "'," +
                                  std::to_string(size) + "," + std::to_string(type) + "," +
                                  std::to_string(user) + ",'" + time + "');"))
            << db.errorText();
    }

    void ShowHistory() {
        dlg->FindControl<QPushButton>("tx_history")->click();
        ASSERT_EQ(dlg->GetCurrentPage(), CMainUiDlg::kHistoryPage);
    }

    QString TextIn(int index, const char* name) {
        auto* label = qobject_cast<QLabel*>(TransferRow::Find(page().RowAt(index), name));
        return label ? label->text() : QStringLiteral("<none>");
    }

    size_t StoredRows(int user) {
        return QueryRows(logDb, "SELECT id FROM log where userid=" + std::to_string(user) + ";").size();
    }

    zorp::test::ScopedXdgHome home;
    std::filesystem::path logDb;
    std::unique_ptr<CMainUiDlg> dlg;
    QListWidget* list = nullptr;
    std::vector<std::filesystem::path> opened;
    std::vector<std::filesystem::path> explored;
};

TEST_F(HistoryPageTest, ShowsTheUsersNewestTwentyEntriesEachWithItsTexts) {
    const std::string today = CWriteDbMgr::HistoryTimeText(std::time(nullptr));
    for (int i = 0; i < 25; ++i) {
        Insert(kUser, "old" + std::to_string(i) + ".txt", "/home/u/up", 2048, CHistoryPage::kTypeUpload,
               "25-01-02 10:00:00");
    }
    Insert(kOtherUser, "someone-else.doc", "/home/v", 1, CHistoryPage::kTypeDownload, today);
    Insert(kUser, "held.pdf", "/home/u/up", int64_t{12760} * 1024, CHistoryPage::kTypeServerHeld,
           "25-01-02 10:00:00");
    Insert(kUser, "it's.doc", "/home/u/Downloads", int64_t{5} << 30, CHistoryPage::kTypeDownload, today);
    ShowHistory();

    ASSERT_EQ(page().GetEntries().size(), 20u);
    ASSERT_EQ(list->count(), 20);
    EXPECT_EQ(page().GetEntries()[0].name, "it's.doc") << "newest first";
    EXPECT_EQ(page().GetEntries()[1].name, "held.pdf");
    EXPECT_EQ(page().GetEntries()[2].name, "old24.txt");
    EXPECT_EQ(page().GetEntries()[19].name, "old7.txt");

    // A download of today: its time of day, the download icon and both links.
    EXPECT_EQ(TextIn(0, "hist_name"), "it's.doc");
    EXPECT_EQ(TextIn(0, "hist_status"), "Completed");
    EXPECT_EQ(TextIn(0, "hist_size"), "5G");
    EXPECT_EQ(TextIn(0, "hist_time").toStdString(), "Time: " + today.substr(today.find(' ') + 1));
    ASSERT_TRUE(TransferRow::Find(page().RowAt(0), "open_file"));
    ASSERT_TRUE(TransferRow::Find(page().RowAt(0), "foldOpen"));
    EXPECT_EQ(TransferRow::Find(page().RowAt(0), "hist_direction")->accessibleName(), "Download");

    // Uploads of an older day: the date, and no links.
    EXPECT_EQ(TextIn(1, "hist_size"), "12.46MB");
    EXPECT_EQ(TextIn(1, "hist_time"), "Date: 25-01-02");
    EXPECT_EQ(TextIn(2, "hist_size"), "2KB");
    for (int i = 1; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(TransferRow::Find(page().RowAt(i), "open_file"));
        EXPECT_FALSE(TransferRow::Find(page().RowAt(i), "foldOpen"));
        EXPECT_TRUE(TransferRow::Find(page().RowAt(i), "no_file"));
        EXPECT_TRUE(TransferRow::Find(page().RowAt(i), "no_fold"));
        EXPECT_FALSE(TransferRow::Find(page().RowAt(i), "del_btn"));
        EXPECT_EQ(TransferRow::Find(page().RowAt(i), "hist_direction")->accessibleName(), "Upload");
    }

    // The links open the file (folder joined with the name) and its folder.
    qobject_cast<QPushButton*>(TransferRow::Find(page().RowAt(0), "open_file"))->click();
    qobject_cast<QPushButton*>(TransferRow::Find(page().RowAt(0), "foldOpen"))->click();
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{"/home/u/Downloads/it's.doc"});
    EXPECT_EQ(explored, std::vector<std::filesystem::path>{"/home/u/Downloads"});
}

TEST_F(HistoryPageTest, ShowsWhatTheProgramWroteAndReloadsEachTimeThePageIsSelected) {
    ShowHistory();
    EXPECT_EQ(list->count(), 0);
    CWriteDbMgr writer;
    writer.SetUserDataDir(home.userDataDir());
    ASSERT_TRUE(writer.Start());
    writer.AddLog("report.pdf", "/home/u/Downloads", 4096, CHistoryPage::kTypeDownload);
    ASSERT_TRUE(zorp::test::WaitFor([&] { return StoredRows(kUser) == 1; }));
    writer.Stop();

    dlg->FindControl<QPushButton>("upld_list")->click();
    ShowHistory();
    ASSERT_EQ(page().GetEntries().size(), 1u);
    EXPECT_EQ(page().GetEntries()[0].FullPath(), "/home/u/Downloads/report.pdf");
    EXPECT_TRUE(TextIn(0, "hist_time").startsWith("Time: "));
}

TEST_F(HistoryPageTest, ClearDeletesTheUsersHistoryAndAnEmptyClearRunsNothing) {
    Insert(kUser, "a.txt", "/home/u", 10, CHistoryPage::kTypeUpload, "25-01-02 10:00:00");
    Insert(kOtherUser, "b.txt", "/home/v", 10, CHistoryPage::kTypeUpload, "25-01-02 10:00:00");
    ShowHistory();
    ASSERT_EQ(list->count(), 1);
    dlg->FindControl<QPushButton>("clearLogBtn")->click();
    EXPECT_EQ(list->count(), 0);
    EXPECT_TRUE(page().GetEntries().empty());
    EXPECT_EQ(StoredRows(kUser), 0u);
    EXPECT_EQ(StoredRows(kOtherUser), 1u) << "another user's history stays";

    // The list is empty: a clear runs no statement, so a row stored since stays.
    Insert(kUser, "c.txt", "/home/u", 10, CHistoryPage::kTypeUpload, "25-01-02 10:00:00");
    dlg->FindControl<QPushButton>("clearLogBtn")->click();
    EXPECT_EQ(StoredRows(kUser), 1u);
}

TEST_F(HistoryPageTest, AMissingLogDatabaseShowsAnEmptyHistoryAndIsNotCreated) {
    const std::filesystem::path missing = home.root() / "nowhere" / "log";
    page().SetLogDbPath(missing);
    ShowHistory();
    EXPECT_EQ(list->count(), 0);
    page().Clear();
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(HistoryTimeTextTest, TimeOfDayForTodayDateOtherwise) {
    COptions::GetInstance().m_uiLanguage = 1033;
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 2;
    day.tm_mday = 7;
    day.tm_hour = 12;
    day.tm_isdst = -1;
    const std::time_t noon = std::mktime(&day);
    EXPECT_EQ(CHistoryPage::TimeText("26-03-07 14:05:09", noon), "Time: 14:05:09");
    EXPECT_EQ(CHistoryPage::TimeText("26-03-06 14:05:09", noon), "Date: 26-03-06");
    EXPECT_EQ(CHistoryPage::TimeText("16-03-07 14:05:09", noon), "Date: 16-03-07")
        << "the same day of another year";
    EXPECT_EQ(CHistoryPage::TimeText("", noon), "") << "rows from before the history kept times";
}

}  // namespace
