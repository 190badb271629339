#include "ui/TransferProgressText.h"

#include "core/MultiLanguage.h"

namespace {

// String table entries of the units.
constexpr uint32_t kTextTimeLeft = 143;  // "Time Left:"
constexpr uint32_t kTextHours = 144;     // "H"
constexpr uint32_t kTextMinutes = 145;   // "M"
constexpr uint32_t kTextSeconds = 146;   // "S"

std::string Text(uint32_t id) { return CMultiLanguageMgr::GetInstance().LoadString(id); }

// ".76" for 760: the fraction written whole below 100 and divided by 10 otherwise, nothing for
// 0.
std::string Fraction(int64_t value) {
    if (value <= 0) {
        return std::string();
    }
    return "." + std::to_string(value < 100 ? value : value / 10);
}

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
    if (kb <= 1024 * 1024) {
        return std::to_string(kb / 1024) + Fraction(kb % 1000) + "MB" + after;
    }
    const int64_t mb = kb / 1024;
    return std::to_string(kb / 1048576) + Fraction(mb - kb / 1024000 * 1000) + "GB" + after;
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
    return std::to_string(kb / 1024) + Fraction(static_cast<int64_t>(kb & 1023)) + "MB/" + s + ")";
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
