#include <gtest/gtest.h>

#include "upload/WaitingUploadList.h"

namespace {

UpldWaitingFile Record(const char* path, int64_t pid, int64_t size, bool lockFlag = false) {
    UpldWaitingFile record;
    record.path = path;
    record.pid = pid;
    record.size = size;
    record.lockFlag = lockFlag;
    return record;
}

}  // namespace

TEST(WaitingUploadListTest, FindsTheFirstRecordOfAFileForAsLongAsOneIsLeft) {
    WaitingUploadList list;
    list.push_back(Record("/d/a", 7, 1));
    list.push_back(Record("/d/b", 7, 2));
    list.push_back(Record("/d/a", 7, 3));
    list.push_back(Record("/d/a", 8, 4));         // another cloud folder: another upload
    list.push_back(Record("/d/c", 7, 5, true));   // a local edit's upload is never merged

    ASSERT_NE(list.FindUnlocked("/d/a", 7, 0), nullptr);
    EXPECT_EQ(list.FindUnlocked("/d/a", 7, 0)->size, 1);
    EXPECT_EQ(list.FindUnlocked("/d/a", 7, 1), nullptr) << "the share flag is part of the file";
    EXPECT_EQ(list.FindUnlocked("/d/c", 7, 0), nullptr);
    EXPECT_EQ(list.FindUnlocked("/d/x", 7, 0), nullptr);

    list.pop_front();  // the first /d/a
    ASSERT_NE(list.FindUnlocked("/d/a", 7, 0), nullptr) << "the second record is still waiting";
    EXPECT_EQ(list.FindUnlocked("/d/a", 7, 0)->size, 3);

    for (auto it = list.begin(); it != list.end();) {
        it = it->size == 3 ? list.erase(it) : std::next(it);
    }
    EXPECT_EQ(list.FindUnlocked("/d/a", 7, 0), nullptr);
    EXPECT_NE(list.FindUnlocked("/d/a", 8, 0), nullptr);
    EXPECT_EQ(list.size(), 3u);

    // A changed record is found with its changes (only the indexed fields must stay).
    list.FindUnlocked("/d/b", 7, 0)->size = 20;
    EXPECT_EQ(list.FindUnlocked("/d/b", 7, 0)->size, 20);

    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.FindUnlocked("/d/b", 7, 0), nullptr);
    list.push_back(Record("/d/b", 7, 9));
    EXPECT_EQ(list.FindUnlocked("/d/b", 7, 0)->size, 9);
}
