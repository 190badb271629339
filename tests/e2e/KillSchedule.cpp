#include "KillSchedule.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

namespace zorp::test {

namespace {

template <typename T>
bool NumberFromEnv(const char* name, T& value) {
    const char* text = std::getenv(name);
    if (!text || !*text) {
        return false;
    }
    T parsed{};
    const char* end = text + std::strlen(text);
    auto [at, error] = std::from_chars(text, end, parsed);
    if (error != std::errc() || at != end) {
        std::cerr << name << "=" << text << " is not a whole number; the default is used\n";
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace

KillSchedule::KillSchedule(std::string path, int defaultKills)
    : m_path(std::move(path)), m_kills(defaultKills) {
    NumberFromEnv(kSeedEnv, m_seed);
    int kills = 0;
    if (NumberFromEnv(kCountEnv, kills) && kills > 0) {
        m_kills = kills;
    }
    // The path's own stream: the seed and the path's name.
    std::seed_seq sequence(m_path.begin(), m_path.end());
    std::vector<uint32_t> words(2);
    sequence.generate(words.begin(), words.end());
    m_random.seed(m_seed ^ ((uint64_t{words[0]} << 32) | words[1]));
    std::cout << "kill schedule of " << m_path << ": " << m_kills << " kills, " << kSeedEnv << "="
              << m_seed << " repeats it" << std::endl;
}

int64_t KillSchedule::Between(int64_t low, int64_t high) {
    if (high <= low) {
        return low;
    }
    // Modulo instead of a distribution: the same numbers from the same seed with any library.
    const uint64_t span = static_cast<uint64_t>(high - low) + 1;
    return low + static_cast<int64_t>(m_random() % span);
}

void KillSchedule::AddIntegrity(const std::string& database, const std::string& result) {
    ++m_integrityChecks;
    if (result != "ok") {
        ++m_integrityFailures;
        m_firstFailure.emplace(database, result);
    }
}

std::string KillSchedule::Summary() const {
    std::ostringstream text;
    text << "kill-figures path=" << m_path << " seed=" << m_seed << " kills=" << m_kills
         << " survived=" << m_survived << " resent_bytes=" << m_resentBytes
         << " allowance_bytes=" << m_allowanceBytes
         << " beyond_allowance=" << ResentBeyondAllowance()
         << " integrity_checks=" << m_integrityChecks
         << " integrity=" << (m_integrityFailures == 0 ? "ok" : "FAILED");
    for (const auto& [database, result] : m_firstFailure) {
        text << " [" << database << ": " << result << "]";
    }
    return text.str();
}

}  // namespace zorp::test
