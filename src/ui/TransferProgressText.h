#pragma once

#include <cstdint>
#include <string>

// The texts of a transfer row in the transfer manager, in the user's language: the time left
// ("Time Left:17M3S"), sizes ("12.76MB"), the speed ("1.2MB/S") and the progress line that joins
// them ("Time Left:17M3S   12.76MB/100.40MB(1.2MB/S)"). No Qt: the rows put the texts into
// their labels.
class TransferProgressText {
public:
    // "17M3S", "60M", "1H1M", "45S".
    static std::string TimeLeft(uint64_t milliseconds);
    // Bytes as kilo-, mega- or gigabytes with the fraction the rows show, followed by
    // "KB", "MB" or "GB" and `after` ("12.76MB/" for after = "/").
    static std::string Size(int64_t bytes, const std::string& after);
    // "0B/S)", "512Byte/S)", "20KB/S)", "1.2MB/S)".
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
