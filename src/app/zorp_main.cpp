// The process entry. For now it sets up the command line and logging, then waits for a
// termination signal; the managers and windows are added to the start-up order as they land.
#include <curl/curl.h>

#include "core/AtExitManager.h"
#include "core/CommandLine.h"
#include "core/Logging.h"
#include "platform/PlainMessageLoop.h"
#include "platform/TerminationSignals.h"

int main(int argc, char** argv) {
    platform::PlainMessageLoop loop;
    platform::InstallTerminationHandler([&loop](int) { loop.Quit(0); });

    base::AtExitManager exitManager;
    CommandLine::Init(argc, argv);
    logging::LoggingSettings settings;
    settings.logging_dest = logging::LOG_TO_SYSTEM_DEBUG_LOG;
    logging::InitLogging(settings);
    logging::SetLogItems(true, true, true, true);

    curl_global_init(CURL_GLOBAL_ALL);
    LOG(INFO) << "zorp started; waiting for work (Ctrl+C ends it)";
    int code = loop.Run();
    LOG(INFO) << "Process will exit " << code;
    curl_global_cleanup();
    return 0;
}
