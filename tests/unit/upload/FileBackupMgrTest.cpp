#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "upload/FileBackupMgr.h"

namespace fs = std::filesystem;

namespace {

class FileBackupMgrTest : public ::testing::Test {
protected:
    void SetUp() override { list.reset(); }
    void TearDown() override { list.reset(); }
    FileBackupMgr& list = FileBackupMgr::GetInstance();
};

TEST_F(FileBackupMgrTest, RequestsAreTakenInKeyOrderAndMergedIntoTheActiveOnes) {
    list.addWorkRequest({9, 0}, {"/n/one"});
    list.addWorkRequest({3, 1}, {"/s/one"});
    list.addWorkRequest({3, 0}, {"/a/one"});
    list.addWorkRequest({3, 0}, {"/a/two"});

    auto first = list.takeNextRequest();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->key, (FileBackupMgr::RequestKey{3, 0}));
    EXPECT_EQ(first->paths, (std::vector<fs::path>{"/a/one", "/a/two"}));

    list.addWorkRequest({3, 0}, {"/a/three"});  // arrives while the first is handled
    EXPECT_EQ(list.takeNextRequest()->key, (FileBackupMgr::RequestKey{3, 0}));
    EXPECT_EQ((list.getActiveRequests()[FileBackupMgr::RequestKey{3, 0}]),
              (std::vector<fs::path>{"/a/one", "/a/two", "/a/three"}));
    EXPECT_EQ(list.takeNextRequest()->key, (FileBackupMgr::RequestKey{3, 1}));
    EXPECT_EQ(list.takeNextRequest()->key, (FileBackupMgr::RequestKey{9, 0}));
    EXPECT_FALSE(list.takeNextRequest());
    EXPECT_FALSE(list.hasPendingRequests());
}

TEST_F(FileBackupMgrTest, AFailedFolderLeavesTheActiveRequestOfTheBatchTarget) {
    list.addWorkRequest({4, 0}, {"/home/u/Photos", "/home/u/Music"});
    list.addWorkRequest({5, 0}, {"/home/u/Photos"});
    list.takeNextRequest();
    list.takeNextRequest();
    list.setBatchTarget(4, 0);
    EXPECT_TRUE(list.removeActivePath("Photos"));
    EXPECT_FALSE(list.removeActivePath("Photos")) << "only the first match, only once";
    auto active = list.getActiveRequests();
    EXPECT_EQ((active[FileBackupMgr::RequestKey{4, 0}]), (std::vector<fs::path>{"/home/u/Music"}));
    EXPECT_EQ((active[FileBackupMgr::RequestKey{5, 0}]), (std::vector<fs::path>{"/home/u/Photos"}));
}

TEST_F(FileBackupMgrTest, UsefulPathIsTakenFromTheParentOfTheDeepestDroppedFolder) {
    list.addDroppedRoot("/home/u/Photos/");  // as dropped, with a separator at the end
    list.addDroppedRoot("/home/u/Photos/2020");
    list.addDroppedRoot("/home/u/Pho");

    auto top = list.getUsefulPath("/home/u/Photos/a/b.jpg");
    EXPECT_EQ(top.prefix, fs::path("/home/u"));
    EXPECT_EQ(top.usefulPath, "Photos/a/b.jpg");

    auto nested = list.getUsefulPath("/home/u/Photos/2020/x.jpg");
    EXPECT_EQ(nested.prefix, fs::path("/home/u/Photos"));
    EXPECT_EQ(nested.usefulPath, "2020/x.jpg");

    // "/home/u/Pho" is a prefix of the text but not a folder above the file.
    auto other = list.getUsefulPath("/home/u/Photography/y.jpg");
    EXPECT_EQ(other.prefix, fs::path("/home/u/Photography"));
    EXPECT_EQ(other.usefulPath, "y.jpg");

    auto folderItself = list.getUsefulPath("/home/u/Photos");
    EXPECT_EQ(folderItself.usefulPath, "Photos");

    list.setDroppedRootId("/home/u/Photos", 77);
    EXPECT_EQ(list.getDroppedRoots()[fs::path("/home/u/Photos")].cloudId, 77);
    list.clearDroppedRoots();
    EXPECT_EQ(list.getUsefulPath("/home/u/Photos/a/b.jpg").usefulPath, "b.jpg");
}

TEST_F(FileBackupMgrTest, FolderKeysJoinTheRelativeFolderWithBackslashes) {
    EXPECT_EQ(FileBackupMgr::folderKey(12, "Photos"), "R_12\\Photos");
    EXPECT_EQ(FileBackupMgr::folderKey(12, "Photos/2020/x"), "R_12\\Photos\\2020\\x");
    EXPECT_EQ(FileBackupMgr::folderKey(0, ""), "R_0");
    EXPECT_EQ(list.getFolderId("R_12\\Photos"), FileBackupMgr::kUnknownFolder);
    list.setFolderId("R_12\\Photos", 40);
    EXPECT_EQ(list.getFolderId("R_12\\Photos"), 40);

    CloudFileEntry a;
    a.name = "a.txt";
    a.id = 5;
    EXPECT_FALSE(list.hasListing(40));
    list.addListingEntry(40, a);
    EXPECT_FALSE(list.hasListing(40)) << "an entry alone does not make a listing";
    list.setListing(40, {a});
    EXPECT_EQ(list.findListingEntry(40, "a.txt")->id, 5);
    EXPECT_FALSE(list.findListingEntry(40, "A.txt")) << "names are compared as they are";
    list.clearServerCache();
    EXPECT_FALSE(list.hasListing(40));
    EXPECT_EQ(list.getFolderId("R_12\\Photos"), FileBackupMgr::kUnknownFolder);
}

TEST_F(FileBackupMgrTest, CountsStopAtZeroAndAComparedFileLowersOnlyTheToCompareCount) {
    list.addFileCount(3);
    list.setBatchTarget(8, 1);
    list.addBackupFile("h", 0, 9, "/d/a", 10);
    EXPECT_EQ(list.getToCompareCount(), 2);
    EXPECT_EQ(list.getRemainingCount(), 3);
    list.decreaseFileCount();
    list.decreaseFileCount();
    list.decreaseFileCount();
    EXPECT_EQ(list.getToCompareCount(), 0);
    EXPECT_EQ(list.getRemainingCount(), 0);
    list.addFileCount(2);
    list.addFileCount(0);
    EXPECT_EQ(list.getRemainingCount(), 0);

    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].pid, 9);
    EXPECT_EQ(records[0].batchTarget, 8);
    EXPECT_EQ(records[0].share, 1);
    EXPECT_EQ(records[0].breakPoint, 0);
    EXPECT_EQ(list.getUploadListSize(), 0u);
}

TEST_F(FileBackupMgrTest, FilesToHashAndToCompareKeepTheirOrder) {
    list.addFilesToSubFileList({"/a", "/b", "/c"});
    list.addSubFile("/d");
    EXPECT_EQ(list.takeSubFiles(2), (std::vector<fs::path>{"/a", "/b"}));
    EXPECT_EQ(list.takeSubFiles(5), (std::vector<fs::path>{"/c", "/d"}));
    EXPECT_TRUE(list.takeSubFiles(5).empty());

    list.addShaFile(CmpWaitingFile{"/x/1", "x/1", "/", "h1", 1});
    list.addShaFile(CmpWaitingFile{"/x/2", "x/2", "/", "h2", 2});
    auto taken = list.takeShaFiles();
    ASSERT_EQ(taken.size(), 2u);
    list.addShaFile(CmpWaitingFile{"/x/3", "x/3", "/", "h3", 3});
    list.returnShaFiles({taken[1]});
    auto again = list.takeShaFiles();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].path, fs::path("/x/2")) << "returned files go first";
    EXPECT_EQ(again[1].path, fs::path("/x/3"));
}

TEST_F(FileBackupMgrTest, ResetEmptiesEverythingButLeavesTheObjectUsable) {
    list.addWorkRequest({1, 0}, {"/p"});
    list.takeNextRequest();
    list.addWorkRequest({2, 0}, {"/q"});
    list.addDroppedRoot("/p");
    list.setBatchTarget(1, 0);
    list.setBackupRoot(6);
    list.addFileCount(4);
    list.addSubFile("/p/f");
    list.addBackupFile("h", 0, 1, "/p/f", 1);
    list.addCancelFids({5}, 1);
    EXPECT_TRUE(list.addFolder("/p"));
    EXPECT_FALSE(list.addFolder("/p"));
    list.reset();
    EXPECT_FALSE(list.hasPendingRequests());
    EXPECT_TRUE(list.getActiveRequests().empty());
    EXPECT_FALSE(list.hasDroppedRoots());
    EXPECT_EQ(list.getBatchTarget(), (FileBackupMgr::BatchTarget{}));
    EXPECT_EQ(list.getBackupRoot(), 0);
    EXPECT_EQ(list.getRemainingCount(), 0);
    EXPECT_EQ(list.getSubFileCount(), 0u);
    EXPECT_EQ(list.getUploadListSize(), 0u);
    EXPECT_TRUE(list.takeCancelFids().empty());
    EXPECT_TRUE(list.getFolders().empty());
}

}  // namespace
