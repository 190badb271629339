#include "ui/RowFileActions.h"

#include <thread>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "platform/Shell.h"

RowFileActions RowFileActions::Desktop() {
    RowFileActions actions;
    actions.openFile = [](const std::filesystem::path& file) {
        std::thread([file] { CommonUtils::OpenWithAssociatedProgram(file); }).detach();
    };
    actions.openFolder = [](const std::filesystem::path& folder) {
        std::thread([folder] {
            if (!platform::ExploreFolder(folder)) {
                LOG(ERROR) << "RowFileActions: cannot open the folder " << folder.string();
            }
        }).detach();
    };
    return actions;
}
