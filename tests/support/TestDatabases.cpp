#include "support/TestDatabases.h"

#include <gtest/gtest.h>

#include "core/DBWrapper.h"
#include "core/Options.h"

namespace zorp::test {

bool LoadOptionsForUser(int userId) {
    COptions& options = COptions::GetInstance();
    options.SetWorkFolderMounts(std::vector<std::filesystem::path>{});
    if (!options.Load()) {
        return false;
    }
    options.SetUserId(userId);
    return true;
}

Rows QueryRows(const std::filesystem::path& database, const std::string& sql) {
    DBWrapper wrapper(database);
    if (!wrapper.open() || !wrapper.query(sql)) {
        ADD_FAILURE() << database << ": " << sql << ": " << wrapper.errorText();
        return {};
    }
    return wrapper.rows();
}

}  // namespace zorp::test
