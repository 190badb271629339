#pragma once

#include <cstdint>

// Every fixed wait of the program, in one table, so that a reader sees them side by side and
// a test can make them all shorter at once.
//
// The test switch: ZORP_TEST_TIME_SCALE=F in the environment (or --test-time-scale=F on the
// zorp command line) multiplies every delay by F, a factor in (0, 1]. It exists for the test
// suites, which run the real program with its real timers but cannot wait 15 s for each
// retry; it is off (1) by default and nobody else should set it.
enum class FixedDelay {
    kRetryStep,             // the n-th automatic retry of failed transfers waits n times this
    kNetworkErrorQuiet,     // from a network error to going offline and the first check
    kNetworkRecheck,        // between good network checks before going online
    kSaveUnfinished,        // how often the stored unfinished transfers are compared
    kWalkBatchPause,        // the folder walk rests after each batch of paths
    kListingCacheLifetime,  // a cached server listing of the comparison is trusted this long
    kKeepAlive,             // a link without events sends a keep-alive after this
    kPageSendTimeout,       // a page that takes no data for this long is taken as gone
    kHelloWait,             // a connection that has not said hello this long is let go
    kChunkStall,            // a transfer that moves no byte for this long is given up
    kServerBusyWait,        // a file the server calls busy is asked for again after this
    kLockRenewal,           // the server lock of a locally edited file is renewed
    kEditQuiet,             // a watched edit folder must be quiet this long before a hand-over
    kRenamePairing,         // a folder watcher awaits the new name of a rename this long
    kWatchRetry,            // a folder that could not be watched is tried (and compared) again
    kBackupQuiet,           // a backup folder quiet this long hands its changes over
    kBackupNewFolderQuiet,  // the same after a new folder appeared in it
    kCount
};

class FixedDelays {
public:
    static constexpr const char* kTestScaleEnv = "ZORP_TEST_TIME_SCALE";
    static constexpr const char* kTestScaleSwitch = "test-time-scale";

    // The delay as the program waits it: the nominal value times the scale, at least 1 ms.
    static uint32_t Ms(FixedDelay delay);
    // For interfaces that count whole seconds (libcurl's low-speed time): at least 1.
    static long Seconds(FixedDelay delay);
    // The value the program has without the test switch.
    static uint32_t NominalMs(FixedDelay delay);
    static const char* Name(FixedDelay delay);

    // The factor in force: read once from the environment unless set.
    static double Scale();
    // Sets the factor (the command-line switch, tests in one process). Values outside
    // (0, 1] are refused and leave the factor as it is; false then.
    static bool SetScale(double scale);
    // Reads a factor from text ("0.05"); false when it is not a number in (0, 1].
    static bool ParseScale(const char* text, double* scale);
};
