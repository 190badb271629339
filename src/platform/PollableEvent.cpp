#include "platform/PollableEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

PollableEvent::PollableEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PollableEvent::~PollableEvent() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void PollableEvent::Set() {
    if (m_fd < 0) {
        return;
    }
    uint64_t one = 1;
    // The counter cannot overflow in practice; EAGAIN would only mean "already set".
    while (::write(m_fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

bool PollableEvent::TryConsume() {
    if (m_fd < 0) {
        return false;
    }
    uint64_t value = 0;
    ssize_t n;
    do {
        n = ::read(m_fd, &value, sizeof(value));
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof(value)) && value > 0;
}

bool PollableEvent::IsSet() const {
    if (m_fd < 0) {
        return false;
    }
    pollfd fd{m_fd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN);
}

}  // namespace platform
