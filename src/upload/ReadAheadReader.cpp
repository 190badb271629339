#include "upload/ReadAheadReader.h"

#include <algorithm>
#include <system_error>

ReadAheadReader::ReadAheadReader(platform::SequentialFile& file, int64_t length,
                                 size_t pieceSize, size_t ahead)
    : m_file(file), m_length(std::max<int64_t>(length, 0)), m_pieceSize(std::max<size_t>(pieceSize, 1)) {
    const size_t buffer = static_cast<size_t>(std::min<int64_t>(m_length, static_cast<int64_t>(m_pieceSize)));
    // A file of one piece gains nothing from a second thread.
    const bool threaded = ahead > 0 && m_length > static_cast<int64_t>(m_pieceSize);
    m_slots.resize(threaded ? ahead + 1 : 1);
    for (auto& slot : m_slots) {
        slot.bytes.resize(buffer);
    }
    if (threaded) {
        try {
            m_reader = std::thread([this] { ReadAhead(); });
        } catch (const std::system_error&) {
            // No thread to be had (a process at its limit): read each piece when asked.
            m_slots.resize(1);
        }
    }
}

ReadAheadReader::~ReadAheadReader() {
    if (m_reader.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_reader.join();
    }
}

bool ReadAheadReader::ReadInto(Slot& slot) {
    const int64_t left = m_length - m_readTo;
    if (left <= 0) {
        slot.length = 0;
        return false;
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(m_pieceSize)));
    const int64_t got = m_file.Read(slot.bytes.data(), want);
    if (got != static_cast<int64_t>(want)) {
        slot.length = -1;
        m_error = got < 0 ? m_file.LastError() : 0;
        return false;
    }
    slot.length = got;
    m_readTo += got;
    return true;
}

void ReadAheadReader::ReadAhead() {
    size_t at = 0;
    for (;;) {
        Slot& slot = m_slots[at];
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stop || !slot.full; });
            if (m_stop) {
                return;
            }
        }
        // The slot is the reader's own until it is marked full.
        const bool more = ReadInto(slot);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            slot.full = true;
        }
        m_changed.notify_all();
        if (!more) {
            return;
        }
        at = (at + 1) % m_slots.size();
    }
}

ReadAheadReader::Piece ReadAheadReader::Next() {
    if (!m_reader.joinable()) {
        Slot& slot = m_slots[0];
        if (slot.length < 0) {
            return Piece{nullptr, -1};
        }
        ReadInto(slot);
        m_handedOut += std::max<int64_t>(slot.length, 0);
        return Piece{slot.bytes.data(), slot.length};
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_holding) {
        // The caller is done with the piece it held: the reader may fill that slot again.
        m_slots[(m_next + m_slots.size() - 1) % m_slots.size()].full = false;
        m_holding = false;
        m_changed.notify_all();
    }
    Slot& slot = m_slots[m_next];
    m_changed.wait(lock, [&] { return slot.full; });
    if (slot.length <= 0) {
        // The end, or the error: it stays the answer of every later call.
        return Piece{nullptr, slot.length};
    }
    m_holding = true;
    m_next = (m_next + 1) % m_slots.size();
    m_handedOut += slot.length;
    return Piece{slot.bytes.data(), slot.length};
}
