#include "UiTestApp.h"

#include "platform/SystemInfo.h"
#include "ui/PaintManagerUI.h"

namespace zorp::test {

QtMessageLoop& UiLoop() {
    static QtMessageLoop* loop = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "zorp_ui_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives as long as the process
        QApplication::setQuitOnLastWindowClosed(false);
        return new QtMessageLoop();
    }();
    return *loop;
}

std::filesystem::path BuildSkinDir() { return platform::ExecutableDir() / "ui"; }

}  // namespace zorp::test

// fontconfig keeps caches for the whole process, which LeakSanitizer reports when a test
// first draws text; they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
