#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/SequentialFile.h"

// Reads the first `length` bytes of an open file from front to back in pieces of `pieceSize`
// (the last one shorter). With `ahead` > 0 a thread of its own reads up to that many pieces
// ahead into a ring of buffers, so that the copy out of the page cache runs beside the work
// the caller does on the bytes; with 0 each piece is read when it is asked for, into one buffer.
//
//     ReadAheadReader reader(file, size, 1 << 20, 3);
//     while (auto piece = reader.Next(); piece.length > 0) { use(piece.data, piece.length); }
//
// A piece stays valid until the next call of Next. A short or failed read ends the pieces with
// length -1 (LastError tells why for a failed one). The destructor stops the thread; the file
// is not read after it, and it stays open.
class ReadAheadReader {
public:
    struct Piece {
        const unsigned char* data = nullptr;
        int64_t length = 0;  // 0 after the last piece, -1 on a read error or a short file
    };

    ReadAheadReader(platform::SequentialFile& file, int64_t length, size_t pieceSize,
                    size_t ahead);
    ~ReadAheadReader();
    ReadAheadReader(const ReadAheadReader&) = delete;
    ReadAheadReader& operator=(const ReadAheadReader&) = delete;

    Piece Next();
    // The error number of a failed read; 0 when the file only ended early.
    int LastError() const { return m_error; }
    // Bytes handed out so far.
    int64_t Offset() const { return m_handedOut; }

private:
    struct Slot {
        std::vector<unsigned char> bytes;
        int64_t length = 0;
        bool full = false;
    };

    // Reads the next piece into `slot`; false when the file is read to its length or failed.
    bool ReadInto(Slot& slot);
    void ReadAhead();

    platform::SequentialFile& m_file;
    const int64_t m_length;
    const size_t m_pieceSize;
    int64_t m_readTo = 0;      // bytes read from the file (by the reading thread, if any)
    int64_t m_handedOut = 0;   // bytes given to the caller
    int m_error = 0;

    std::vector<Slot> m_slots;
    size_t m_next = 0;  // the slot the caller takes next
    bool m_holding = false;  // the caller holds slot m_next - 1
    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_reader;
};
