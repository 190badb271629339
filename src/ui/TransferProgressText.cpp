#include "ui/TransferProgressText.h"

#include <algorithm>

#include "core/MultiLanguage.h"

namespace {

// String table entries of the units.
constexpr uint32_t kTextTimeLeft = 143;  // "Time Left:"
constexpr uint32_t kTextHours = 144;     // "H"
constexpr uint32_t kTextMinutes = 145;   // "M"
constexpr uint32_t kTextSeconds = 146;   // "S"

std::string Text(uint32_t id) { return CMultiLanguageMgr::GetInstance().LoadString(id); }

// The two decimals of `part` / `whole` (part below whole), cut, not rounded, so that a size
// never reads larger than it is; trailing zeros are dropped and a zero fraction is left out:
// ".46" for 0.4609, ".5" for 0.5, nothing for 0.004.
std::string Fraction(int64_t part, int64_t whole) {
    const int64_t hundredths = part * 100 / whole;
    if (hundredths <= 0) {
        return std::string();
    }
    if (hundredths % 10 == 0) {
        return "." + std::to_string(hundredths / 10);
    }
    return (hundredths < 10 ? ".0" : ".") + std::to_string(hundredths);
}

constexpr int64_t kKbPerMb = 1024;
constexpr int64_t kKbPerGb = 1024 * 1024;

// Kilobytes as megabytes or gigabytes with their fraction: "12.46", "3".
std::string InMb(int64_t kb) { return std::to_string(kb / kKbPerMb) + Fraction(kb % kKbPerMb, kKbPerMb); }
std::string InGb(int64_t kb) { return std::to_string(kb / kKbPerGb) + Fraction(kb % kKbPerGb, kKbPerGb); }

}  // namespace

std::string TransferProgressText::TimeLeft(uint64_t milliseconds) {
    const uint64_t seconds = milliseconds / 1000;
    const std::string s = Text(kTextSeconds);
    const std::string m = Text(kTextMinutes);
    if (seconds <= 60) {
        return std::to_string(seconds) + s;
    }
    if (seconds <= 3600) {
        std::string text = std::to_string(seconds / 60) + m;
        if (seconds % 60 > 0) {
            text += std::to_string(seconds % 60) + s;
        }
        return text;
    }
    std::string text = std::to_string(seconds / 3600) + Text(kTextHours);
    const uint64_t rest = seconds % 3600;
    if (rest < 60) {
        return text + std::to_string(rest) + s;
    }
    text += std::to_string(rest / 60) + m;
    if (rest % 60 > 0) {
        text += std::to_string(rest % 60) + s;
    }
    return text;
}

std::string TransferProgressText::Size(int64_t bytes, const std::string& after) {
    const int64_t kb = bytes / 1024;
    if (kb <= 1024) {
        return std::to_string(kb) + "KB" + after;
    }
    if (kb <= kKbPerGb) {
        return InMb(kb) + "MB" + after;
    }
    return InGb(kb) + "GB" + after;
}

std::string TransferProgressText::HistorySize(int64_t bytes) {
    const int64_t kb = bytes / 1024;
    if (kb < 1025) {
        return std::to_string(std::max<int64_t>(kb, 1)) + "KB";
    }
    if (kb / kKbPerMb < 1001) {
        return InMb(kb) + "MB";
    }
    return InGb(kb) + "G";
}

std::string TransferProgressText::Speed(uint64_t bytesPerSecond) {
    const std::string s = Text(kTextSeconds);
    if (bytesPerSecond == 0) {
        return "0B/S)";
    }
    if (bytesPerSecond < 1024) {
        return std::to_string(bytesPerSecond) + "Byte/" + s + ")";
    }
    const uint64_t kb = bytesPerSecond / 1024;
    if (bytesPerSecond < 1048576) {
        return std::to_string(kb) + "KB/" + s + ")";
    }
    return InMb(static_cast<int64_t>(kb)) + "MB/" + s + ")";
}

std::string TransferProgressText::ProgressLine(int64_t done, int64_t total, uint64_t timeLeftMs,
                                               uint64_t bytesPerSecond) {
    if (total <= 0) {
        return "N/A - " + std::to_string(done) + " of N/A";
    }
    return Text(kTextTimeLeft) + TimeLeft(timeLeftMs) + "   " + Size(done, "/") +
           Size(total, "(") + Speed(bytesPerSecond);
}

int TransferProgressText::Percent(int64_t done, int64_t total) {
    if (total <= 0) {
        return -1;
    }
    return static_cast<int>(done * 100 / total);
}

std::string TransferProgressText::CountText(int left, int failed) {
    if (left > 0) {
        return Text(141) + std::to_string(left);  // "  File Left:"
    }
    if (failed > 0) {
        return Text(142) + std::to_string(failed);  // "  Failed Files:"
    }
    return std::string();
}
