#include "core/AtExitManager.h"

namespace base {

namespace {
AtExitManager* g_top = nullptr;
std::mutex g_topMutex;
}  // namespace

AtExitManager::AtExitManager() {
    std::lock_guard<std::mutex> lock(g_topMutex);
    m_previous = g_top;
    g_top = this;
}

AtExitManager::~AtExitManager() {
    ProcessCallbacksNow();
    std::lock_guard<std::mutex> lock(g_topMutex);
    g_top = m_previous;
}

bool AtExitManager::RegisterCallback(std::function<void()> callback) {
    std::lock_guard<std::mutex> lock(g_topMutex);
    if (!g_top) {
        return false;
    }
    std::lock_guard<std::mutex> own(g_top->m_mutex);
    g_top->m_callbacks.push_back(std::move(callback));
    return true;
}

void AtExitManager::ProcessCallbacksNow() {
    AtExitManager* top = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_topMutex);
        top = g_top;
    }
    if (!top) {
        return;
    }
    for (;;) {
        std::function<void()> callback;
        {
            std::lock_guard<std::mutex> own(top->m_mutex);
            if (top->m_callbacks.empty()) {
                break;
            }
            callback = std::move(top->m_callbacks.back());
            top->m_callbacks.pop_back();
        }
        callback();
    }
}

}  // namespace base
