#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace platform {

// Opaque, never reused handle of a message target (a window). 0 is "no window".
using WindowHandle = uint64_t;
inline constexpr WindowHandle kNoWindow = 0;

// Message numbers the platform itself defines; the program's own start at WM_USER.
inline constexpr uint32_t WM_NULL = 0x0000;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_USER = 0x0400;

// A heap record carried by a message. The message owns it: whoever receives the message
// (or the registry, when the target is gone) frees it by destroying the message.
class Payload {
public:
    virtual ~Payload() = default;
};

template <typename T>
class PayloadOf final : public Payload {
public:
    template <typename... Args>
    explicit PayloadOf(Args&&... args) : value(std::forward<Args>(args)...) {}
    T value;
};

template <typename T, typename... Args>
std::unique_ptr<Payload> MakePayload(Args&&... args) {
    return std::make_unique<PayloadOf<T>>(std::forward<Args>(args)...);
}

// One window message: a number, two plain values (timer ids, flags) and up to two owned
// records standing where the heap pointers of wParam and lParam would be.
struct Message {
    uint32_t id = WM_NULL;
    int64_t wValue = 0;
    int64_t lValue = 0;
    std::unique_ptr<Payload> wData;
    std::unique_ptr<Payload> lData;

    Message() = default;
    explicit Message(uint32_t messageId, int64_t w = 0, int64_t l = 0)
        : id(messageId), wValue(w), lValue(l) {}
    Message(uint32_t messageId, std::unique_ptr<Payload> w, std::unique_ptr<Payload> l = nullptr)
        : id(messageId), wData(std::move(w)), lData(std::move(l)) {}

    // The record of type T in wData / lData, or null when absent or of another type.
    template <typename T>
    T* W() const {
        auto* p = dynamic_cast<PayloadOf<T>*>(wData.get());
        return p ? &p->value : nullptr;
    }
    template <typename T>
    T* L() const {
        auto* p = dynamic_cast<PayloadOf<T>*>(lData.get());
        return p ? &p->value : nullptr;
    }
};

}  // namespace platform
