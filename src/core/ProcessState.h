#pragma once

#include <atomic>

// The dispatcher's coarse state. The numbers are the ones logged ("work state %d -> %d").
enum class WorkState : int {
    kWsRestored = 0,         // stored uploads resumed: hashed files go straight to upload
    kWsBatchFromIdle = 1,    // an upload batch started while nothing else went on
    kWsUploading = 2,        // that batch's uploads started
    kWsBatchWhileBusy = 3,   // an upload batch started while other work went on
    kWsTransferring = 4,     // transfers started while other work went on
    kWsIdle = 5,             // a batch ended (or the process came back online)
    kWsOffline = 6,          // the server cannot be reached; work waits
    kWsRetryWait = 8,        // failed transfers wait for their automatic retry
    kWsCancelled = 9,        // the user cancelled every transfer in the transfer manager
    kWsStart = 10,           // nothing done yet since start-up
};

// Which transfers are active. The numbers are the ones stored in last_tx_status.
enum class TxState : int {
    kNone = 0,
    kUploads = 1,
    kDownloads = 2,
    kBoth = 3,
    kPaused = 4,   // the user paused the transfers
    kUnused = 5,   // never entered by an event; the stored value when nothing was written
};

// What happened to the transfers: the columns of the transfer-state table.
enum class TxEvent : int {
    kAllFinished = 0,
    kUploadsActive = 1,
    kDownloadsActive = 2,
    kBothActive = 3,
    kPaused = 4,
};

// The transfer state after `event` in state `current`.
TxState MoveTxState(TxState current, TxEvent event);
// A stored number read back as a state; anything out of range is kUnused.
TxState TxStateFromNumber(int number);

// The work state and the transfer state of the process. Every thread may ask; only the
// dispatcher changes them (its context holds the one Writer), everyone else asks the named
// questions below or posts the dispatcher a message.
class ProcessState {
public:
    class Writer {
        friend class DispatcherContext;
        friend struct ProcessStateTestAccess;  // tests put the process into a given state
        Writer() = default;
    };

    static ProcessState& GetInstance();

    WorkState GetWorkState() const { return m_workState; }
    bool IsOffline() const { return m_workState == WorkState::kWsOffline; }
    // Nothing has been done since start-up (the link then answers the page's cookies).
    bool IsNothingDoneYet() const { return m_workState == WorkState::kWsStart; }
    bool IsBatchIdle() const { return m_workState == WorkState::kWsIdle; }

    TxState GetTxState() const { return m_txState; }
    bool DownloadsActive() const {
        const TxState state = m_txState;
        return state == TxState::kDownloads || state == TxState::kBoth;
    }
    bool TransfersActive() const {
        const TxState state = m_txState;
        return state == TxState::kUploads || state == TxState::kDownloads || state == TxState::kBoth;
    }

    // Both return the state before.
    WorkState SetWorkState(WorkState state, const Writer&) { return m_workState.exchange(state); }
    TxState SetTxState(TxState state, const Writer&) { return m_txState.exchange(state); }

private:
    ProcessState() = default;

    std::atomic<WorkState> m_workState{WorkState::kWsStart};
    std::atomic<TxState> m_txState{TxState::kNone};
};
