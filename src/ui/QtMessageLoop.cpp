#include "ui/QtMessageLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QTimerEvent>

#include <chrono>

#include "platform/WindowRegistry.h"

namespace {

const QEvent::Type kEnvelopeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kQuitEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Owns the envelope: Qt deletes undelivered events of a receiver that is destroyed, and with
// the event goes the envelope, its records and any sender still waiting for a reply.
class EnvelopeEvent final : public QEvent {
public:
    explicit EnvelopeEvent(platform::Envelope e) : QEvent(kEnvelopeEvent), envelope(std::move(e)) {}
    platform::Envelope envelope;
};

class QuitEvent final : public QEvent {
public:
    explicit QuitEvent(int code) : QEvent(kQuitEvent), exitCode(code) {}
    int exitCode;
};

}  // namespace

QtMessageLoop::QtMessageLoop() : m_owner(std::this_thread::get_id()) { SetCurrent(this); }

QtMessageLoop::~QtMessageLoop() {
    // Queued events are deleted with this object (QObject's destructor removes them).
    for (const auto& [qtId, key] : m_timerOwners) {
        killTimer(qtId);
    }
}

int QtMessageLoop::Run() { return QCoreApplication::exec(); }

bool QtMessageLoop::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        if (!done()) {
            // Timers and other threads need a moment; wake at least every few milliseconds.
            QEventLoop wait;
            QTimer::singleShot(2, &wait, &QEventLoop::quit);
            wait.exec();
        }
    }
    return true;
}

void QtMessageLoop::Enqueue(platform::Envelope envelope) {
    QCoreApplication::postEvent(this, new EnvelopeEvent(std::move(envelope)));
}

bool QtMessageLoop::RunsOnCurrentThread() const { return std::this_thread::get_id() == m_owner; }

void QtMessageLoop::SetTimer(platform::WindowHandle target, uint32_t timerId,
                             uint32_t intervalMs) {
    KillTimer(target, timerId);  // setting an id again replaces it
    int qtId = startTimer(std::chrono::milliseconds(intervalMs));
    if (qtId == 0) {
        return;
    }
    m_qtTimers[{target, timerId}] = qtId;
    m_timerOwners[qtId] = {target, timerId};
}

void QtMessageLoop::KillTimer(platform::WindowHandle target, uint32_t timerId) {
    auto it = m_qtTimers.find({target, timerId});
    if (it == m_qtTimers.end()) {
        return;
    }
    killTimer(it->second);
    m_timerOwners.erase(it->second);
    m_qtTimers.erase(it);
}

void QtMessageLoop::KillAllTimers(platform::WindowHandle target) {
    for (auto it = m_qtTimers.begin(); it != m_qtTimers.end();) {
        if (it->first.first == target) {
            killTimer(it->second);
            m_timerOwners.erase(it->second);
            it = m_qtTimers.erase(it);
        } else {
            ++it;
        }
    }
}

void QtMessageLoop::Quit(int exitCode) {
    // QCoreApplication::exit does nothing while no loop runs; a queued request is seen by the
    // loop whenever it starts.
    QCoreApplication::postEvent(this, new QuitEvent(exitCode));
}

bool QtMessageLoop::event(QEvent* event) {
    if (event->type() == kEnvelopeEvent) {
        platform::WindowRegistry::Dispatch(static_cast<EnvelopeEvent*>(event)->envelope);
        return true;
    }
    if (event->type() == kQuitEvent) {
        QCoreApplication::exit(static_cast<QuitEvent*>(event)->exitCode);
        return true;
    }
    return QObject::event(event);
}

void QtMessageLoop::timerEvent(QTimerEvent* event) {
    auto it = m_timerOwners.find(event->timerId());
    if (it == m_timerOwners.end()) {
        return;
    }
    const auto [target, timerId] = it->second;
    if (!platform::WindowRegistry::IsWindow(target)) {
        KillTimer(target, timerId);  // its window went away on another thread's watch
        return;
    }
    platform::Envelope envelope(target, platform::Message(platform::WM_TIMER, timerId));
    platform::WindowRegistry::Dispatch(envelope);
}
