#pragma once

#include <cstdint>

struct DnldTaskInfo;

// What the download queue tells the window that draws it. The queue keeps every decision; the
// view only draws rows and labels. All calls come on the window thread.
class IDnldQueueView {
public:
    struct Counts {
        int left = 0;          // downloads still to do: listed and waiting
        int failed = 0;        // records in both failed lists
        int running = 0;       // runs started whose end has not arrived
        bool pausedAll = false;
    };

    virtual ~IDnldQueueView() = default;

    // A request entered the list (at its end).
    virtual void OnDnldRowAdded(const DnldTaskInfo& info) = 0;
    // State, status text or progress of a listed entry changed.
    virtual void OnDnldRowChanged(const DnldTaskInfo& info) = 0;
    virtual void OnDnldRowRemoved(int32_t taskId) = 0;
    // A listed entry's run ended for good, completed or failed (not removed by the user, not
    // stopped): the view may keep it as a finished row. OnDnldRowRemoved follows at once.
    virtual void OnDnldRowFinished(const DnldTaskInfo& info) { (void)info; }
    // The count label ("dnldNumLabel") and the start/pause button follow these.
    virtual void OnDnldCountChanged(const Counts& counts) = 0;
};
