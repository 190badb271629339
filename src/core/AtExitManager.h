#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace base {

// Runs registered callbacks, last registered first, when the manager is destroyed. The entry
// function keeps one alive for the whole run; singletons that need an orderly end register here.
class AtExitManager {
public:
    AtExitManager();
    ~AtExitManager();
    AtExitManager(const AtExitManager&) = delete;
    AtExitManager& operator=(const AtExitManager&) = delete;

    // Returns false when no manager exists (the callback is then not kept).
    static bool RegisterCallback(std::function<void()> callback);
    static void ProcessCallbacksNow();

private:
    std::mutex m_mutex;
    std::vector<std::function<void()>> m_callbacks;
    AtExitManager* m_previous;
};

}  // namespace base
