#pragma once

#include "core/ProcessState.h"

// Puts the process into the state a test starts from. Only the dispatcher changes these
// states in the program; a test sets them up as a finished step of the dispatcher would.
struct ProcessStateTestAccess {
    static void SetWorkState(WorkState state) {
        ProcessState::GetInstance().SetWorkState(state, ProcessState::Writer());
    }
    static void SetTxState(TxState state) {
        ProcessState::GetInstance().SetTxState(state, ProcessState::Writer());
    }
};
