#include "core/ReadAheadFile.h"

ReadAheadFile::ReadAheadFile(size_t blockSize, size_t blocksAhead)
    : m_blockSize(blockSize), m_blocksAhead(blocksAhead < 1 ? 1 : blocksAhead) {}

ReadAheadFile::~ReadAheadFile() { Stop(); }

bool ReadAheadFile::Start(platform::SequentialFile& file, int64_t length) {
    Stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_full.clear();
    m_free.clear();
    for (size_t i = 0; i < m_blocksAhead; ++i) {
        m_free.push_back(Block{std::vector<unsigned char>(m_blockSize), 0});
    }
    m_current = Block{};
    m_done = m_failed = m_stop = false;
    try {
        m_reader = std::thread(&ReadAheadFile::ReaderMain, this, &file, length);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void ReadAheadFile::ReaderMain(platform::SequentialFile* file, int64_t length) {
    int64_t left = length;
    while (left > 0) {
        Block block;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stop || !m_free.empty(); });
            if (m_stop) {
                break;
            }
            block = std::move(m_free.back());
            m_free.pop_back();
        }
        size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(m_blockSize)));
        int64_t got = file->Read(block.data.data(), want);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (got != static_cast<int64_t>(want)) {
            m_failed = true;  // an error, or the file became shorter than it was
            break;
        }
        block.size = want;
        m_full.push_back(std::move(block));
        left -= static_cast<int64_t>(want);
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
}

const std::vector<unsigned char>* ReadAheadFile::Next(size_t* size) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_current.size > 0) {  // the consumer is done with the block it held
        m_current.size = 0;
        m_free.push_back(std::move(m_current));
        m_current = Block{};
        m_changed.notify_all();
    }
    m_changed.wait(lock, [&] { return !m_full.empty() || m_done; });
    if (m_full.empty()) {
        return nullptr;  // everything was read, or the read failed
    }
    m_current = std::move(m_full.front());
    m_full.pop_front();
    *size = m_current.size;
    return &m_current.data;
}

bool ReadAheadFile::Failed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

void ReadAheadFile::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
}
