#include "core/IPageNotifier.h"

#include <atomic>

namespace {

class NullPageNotifier final : public IPageNotifier {
public:
    void pushUpldCreated(int64_t, int64_t, const Json::Value&) override {}
    void pushUpldProgress(int64_t, int64_t, int64_t, int64_t) override {}
    void pushUpldComplete(int64_t, int64_t, const Json::Value&) override {}
    void pushUpldRemoved(int64_t, int64_t) override {}
    void pushFolderCreated(int64_t, int64_t, const Json::Value&) override {}
    void pushEditDnldProgress(int64_t, int64_t, int64_t, const std::string&,
                              const std::string&) override {}
    void pushEditDnldResult(int64_t, const std::string&, const std::string&, int) override {}
};

NullPageNotifier g_nullNotifier;
std::atomic<IPageNotifier*> g_notifier{&g_nullNotifier};

}  // namespace

IPageNotifier& IPageNotifier::Get() { return *g_notifier.load(std::memory_order_acquire); }

void IPageNotifier::Install(IPageNotifier* notifier) {
    g_notifier.store(notifier ? notifier : &g_nullNotifier, std::memory_order_release);
}
