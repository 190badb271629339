#include "platform/WindowRegistry.h"

#include <mutex>
#include <unordered_map>

#include "platform/MessageTarget.h"

namespace platform {

namespace {

struct Entry {
    MessageTarget* target;
    MessageLoop* loop;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<WindowHandle, Entry> entries;
    WindowHandle lastHandle = 0;
};

Registry& GetRegistry() {
    static Registry* registry = new Registry();  // outlives every static window
    return *registry;
}

bool Lookup(WindowHandle handle, Entry* entry) {
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.entries.find(handle);
    if (it == r.entries.end()) {
        return false;
    }
    *entry = it->second;
    return true;
}

thread_local MessageLoop* t_currentLoop = nullptr;

}  // namespace

Envelope::~Envelope() {
    if (reply) {
        reply->done.Set();
    }
}

MessageLoop::~MessageLoop() {
    if (t_currentLoop == this) {
        t_currentLoop = nullptr;
    }
}

MessageLoop* MessageLoop::Current() { return t_currentLoop; }

void MessageLoop::SetCurrent(MessageLoop* loop) { t_currentLoop = loop; }

WindowHandle WindowRegistry::Register(MessageTarget* target, MessageLoop* loop) {
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    WindowHandle handle = ++r.lastHandle;
    r.entries[handle] = Entry{target, loop};
    return handle;
}

void WindowRegistry::Unregister(WindowHandle handle) {
    MessageLoop* loop = nullptr;
    {
        Registry& r = GetRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.entries.find(handle);
        if (it == r.entries.end()) {
            return;
        }
        loop = it->second.loop;
        r.entries.erase(it);
    }
    if (loop && loop->RunsOnCurrentThread()) {
        loop->KillAllTimers(handle);
    }
}

bool WindowRegistry::IsWindow(WindowHandle handle) {
    Entry entry;
    return Lookup(handle, &entry);
}

void WindowRegistry::Dispatch(Envelope& envelope) {
    Entry entry;
    if (!Lookup(envelope.target, &entry)) {
        return;  // the window closed; the envelope frees its records
    }
    int64_t result = entry.target->HandleMessage(envelope.message);
    if (envelope.reply) {
        envelope.reply->result = result;
    }
}

bool PostMessage(WindowHandle window, Message message) {
    Entry entry;
    if (window == kNoWindow || !Lookup(window, &entry)) {
        return false;
    }
    entry.loop->Enqueue(Envelope(window, std::move(message)));
    return true;
}

int64_t SendMessage(WindowHandle window, Message message) {
    Entry entry;
    if (window == kNoWindow || !Lookup(window, &entry)) {
        return 0;
    }
    if (entry.loop->RunsOnCurrentThread()) {
        return entry.target->HandleMessage(message);
    }
    auto reply = std::make_shared<SyncReply>();
    entry.loop->Enqueue(Envelope(window, std::move(message), reply));
    reply->done.Wait();
    return reply->result;
}

bool SetTimer(WindowHandle window, uint32_t timerId, uint32_t intervalMs) {
    Entry entry;
    if (!Lookup(window, &entry) || !entry.loop->RunsOnCurrentThread()) {
        return false;
    }
    entry.loop->SetTimer(window, timerId, intervalMs);
    return true;
}

bool KillTimer(WindowHandle window, uint32_t timerId) {
    Entry entry;
    if (!Lookup(window, &entry) || !entry.loop->RunsOnCurrentThread()) {
        return false;
    }
    entry.loop->KillTimer(window, timerId);
    return true;
}

}  // namespace platform
