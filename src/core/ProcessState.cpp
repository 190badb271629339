#include "core/ProcessState.h"

TxState MoveTxState(TxState current, TxEvent event) {
    // Rows: the current state; columns: all finished, uploads active, downloads active, both
    // active, paused, and a column no event uses.
    static constexpr int kTable[6][6] = {
        {0, 1, 2, 3, 4, 5}, {0, 1, 3, 3, 4, 5}, {0, 3, 2, 3, 4, 5},
        {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5}, {0, 1, 2, 5, 4, 5},
    };
    const int row = static_cast<int>(current);
    const int column = static_cast<int>(event);
    if (row < 0 || row > 5 || column < 0 || column > 5) {
        return current;
    }
    return static_cast<TxState>(kTable[row][column]);
}

TxState TxStateFromNumber(int number) {
    return number >= 0 && number <= 5 ? static_cast<TxState>(number) : TxState::kUnused;
}

ProcessState& ProcessState::GetInstance() {
    static ProcessState* instance = new ProcessState();  // lives until process exit
    return *instance;
}
