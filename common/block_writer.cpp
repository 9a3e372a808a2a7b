#include "common/block_writer.h"

#include <utility>

#include "common/platform.h"

namespace script {

BlockWriter::BlockWriter(Write write, std::size_t max_waiting)
    : m_write(std::move(write)), m_max_waiting(max_waiting == 0 ? 1 : max_waiting), m_thread([this] { run(); })
{
}

BlockWriter::~BlockWriter()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_one();
    m_thread.join();
}

void BlockWriter::write(std::string& block)
{
    std::unique_lock lock(m_mutex);
    m_room.wait(lock, [this] { return m_queue.size() < m_max_waiting; });
    m_queue.push_back(std::move(block));
    block.clear();
    if (!m_spare.empty()) {
        block.swap(m_spare.back());
        m_spare.pop_back();
    }
    lock.unlock();
    m_work.notify_one();
}

int BlockWriter::drain()
{
    std::unique_lock lock(m_mutex);
    m_room.wait(lock, [this] { return m_queue.empty() && !m_writing; });
    return m_failure;
}

int BlockWriter::failure()
{
    const std::lock_guard lock(m_mutex);
    return m_failure;
}

void BlockWriter::run()
{
    platform::offer_thread_heap_huge_pages();
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;  // stopped, everything written
        std::string block = std::move(m_queue.front());
        m_queue.pop_front();
        const bool failed = m_failure != 0;
        m_writing = true;
        lock.unlock();
        const int failure = failed ? 0 : m_write(block);
        lock.lock();
        m_writing = false;
        if (failure != 0)
            m_failure = failure;
        if (m_spare.size() < m_max_waiting) {
            block.clear();
            m_spare.push_back(std::move(block));
        }
        m_room.notify_all();
    }
}

}  // namespace script
