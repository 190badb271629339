#pragma once

#include <cstdint>
#include <string>

// The texts of a transfer row in the transfer manager, in the user's language: the time left
// ("Time Left:17M3S"), sizes ("12.46MB"), the speed ("1.5MB/S") and the progress line that joins
// them ("Time Left:17M3S   12.46MB/100MB(1.5MB/S)"). No Qt: the rows put the texts into
// their labels.
class TransferProgressText {
public:
    // "17M3S", "60M", "1H1M", "45S".
    static std::string TimeLeft(uint64_t milliseconds);
    // Bytes as kilo-, mega- or gigabytes (of 1024) with up to two decimals, followed by "KB",
    // "MB" or "GB" and `after` ("12.46MB/" for 12,760 KB and after = "/").
    static std::string Size(int64_t bytes, const std::string& after);
    // The size of a history row: "1KB" at least, up to 1024 KB in kilobytes, below 1001 MB in
    // megabytes, beyond in gigabytes written "G" ("2.5G").
    static std::string HistorySize(int64_t bytes);
    // "0B/S)", "512Byte/S)", "20KB/S)", "1.5MB/S)".
    static std::string Speed(uint64_t bytesPerSecond);
    // The whole line of a running row; a file of unknown size reads "N/A - <done> of N/A".
    static std::string ProgressLine(int64_t done, int64_t total, uint64_t timeLeftMs,
                                    uint64_t bytesPerSecond);
    // Transferred bytes in percent, or -1 when the total is unknown (the bar is not moved).
    static int Percent(int64_t done, int64_t total);
    // The count label of a page: "  File Left:7", or "  Failed Files:2" when nothing is left
    // but failures, or nothing.
    static std::string CountText(int left, int failed);
};
