#pragma once

#include <cstdint>

struct UpldTaskInfo;

// What the upload queue tells the window that draws it. The queue keeps every decision; the
// view only draws rows and labels. All calls come on the window thread.
class IUpldQueueView {
public:
    struct Counts {
        int left = 0;          // uploads still to do: listed and waiting
        int failed = 0;        // records in both failed lists
        int running = 0;       // tasks started whose end has not arrived
        bool stopped = false;  // the upload stopped flag
    };

    virtual ~IUpldQueueView() = default;

    // A waiting file entered the list (at its end).
    virtual void OnUpldRowAdded(const UpldTaskInfo& info) = 0;
    // State, status text, progress or fid of a listed entry changed.
    virtual void OnUpldRowChanged(const UpldTaskInfo& info) = 0;
    virtual void OnUpldRowRemoved(int32_t taskIndex) = 0;
    // A listed entry's task ended for good, done or failed (not removed by the user): the view
    // may keep it as a finished row. `retryable` says the failure waits in the failed list, so
    // that UploadQueue::retryFailedItem(info.taskIndex) can queue the file again.
    // OnUpldRowRemoved follows at once.
    virtual void OnUpldRowFinished(const UpldTaskInfo& info, bool retryable) {
        (void)info;
        (void)retryable;
    }
    // The count label ("upldNumLabel") and the start/pause button follow these.
    virtual void OnUpldCountChanged(const Counts& counts) = 0;
    // An upload failed because the cloud disk is full (server code 102008).
    virtual void OnCapacityWarning() = 0;
};
