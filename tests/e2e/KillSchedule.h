#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>

namespace zorp::test {

// When the kill tests kill zorp, drawn from a seed that every run prints, so that a failure
// is played again with the same moments: ZORP_KILL_SEED=<seed> repeats a run, ZORP_KILL_COUNT
// sets how many kills each path takes (the CI run keeps the defaults; bench/kill_soak.sh asks
// for hundreds). Each path draws from its own stream of the seed, so one path run alone with
// --gtest_filter meets the same moments as in the whole run.
//
// It also keeps the figures of the run: kills survived, bytes sent again and the allowance
// for them, the integrity results of the databases, printed as one line by Summary that the
// soak script collects.
class KillSchedule {
public:
    static constexpr uint64_t kDefaultSeed = 20261209;
    static constexpr const char* kSeedEnv = "ZORP_KILL_SEED";
    static constexpr const char* kCountEnv = "ZORP_KILL_COUNT";

    KillSchedule(std::string path, int defaultKills);

    uint64_t Seed() const { return m_seed; }
    int Kills() const { return m_kills; }
    const std::string& Path() const { return m_path; }

    // A whole number in [low, high], and a moment in [low, high] milliseconds.
    int64_t Between(int64_t low, int64_t high);
    std::chrono::milliseconds Moment(int64_t lowMs, int64_t highMs) {
        return std::chrono::milliseconds(Between(lowMs, highMs));
    }
    // True with the chance `percent` in 100.
    bool Chance(int percent) { return Between(0, 99) < percent; }

    void Survived() { ++m_survived; }
    int SurvivedCount() const { return m_survived; }
    void AddResent(int64_t bytes) { m_resentBytes += bytes; }
    void AddAllowance(int64_t bytes) { m_allowanceBytes += bytes; }
    int64_t ResentBytes() const { return m_resentBytes; }
    int64_t AllowanceBytes() const { return m_allowanceBytes; }
    // Bytes sent again beyond the allowance (0 when within it).
    int64_t ResentBeyondAllowance() const {
        return m_resentBytes > m_allowanceBytes ? m_resentBytes - m_allowanceBytes : 0;
    }
    // One integrity check's result ("ok" or SQLite's text) of a database.
    void AddIntegrity(const std::string& database, const std::string& result);
    bool IntegrityAllOk() const { return m_integrityFailures == 0; }
    int IntegrityChecks() const { return m_integrityChecks; }

    // "kill-figures path=upload seed=20261209 kills=8 survived=8 resent_bytes=131072
    //  allowance_bytes=3145728 beyond_allowance=0 integrity_checks=24 integrity=ok"
    std::string Summary() const;

private:
    std::string m_path;
    uint64_t m_seed = kDefaultSeed;
    int m_kills = 0;
    std::mt19937_64 m_random;
    int m_survived = 0;
    int64_t m_resentBytes = 0;
    int64_t m_allowanceBytes = 0;
    int m_integrityChecks = 0;
    int m_integrityFailures = 0;
    std::map<std::string, std::string> m_firstFailure;
};

}  // namespace zorp::test
