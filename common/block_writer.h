#pragma once

// Text written on a thread of its own, block by block in the order handed over, so that
// whoever produces it does not wait for the kernel to copy it out. Only a few blocks may
// wait, so memory stays bounded however much is written.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace script {

class BlockWriter
{
public:
    /// Writes one block whole; returns 0, or the errno of a failure (nothing more is
    /// written after one).
    using Write = std::function<int(std::string_view block)>;

    /// Starts the thread; throws std::system_error when it cannot.
    BlockWriter(Write write, std::size_t max_waiting);
    /// Writes what was handed over, then stops the thread.
    ~BlockWriter();
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    /// Takes the block, leaving `block` empty (with the room of a block already written);
    /// waits while too many blocks wait.
    void write(std::string& block);
    /// Returns once every block handed over is written (or passed over after a failure),
    /// with the errno of the first failure, or 0.
    int drain();
    /// The errno of the first failure so far, or 0, without waiting.
    int failure();

private:
    void run();

    Write m_write;
    std::size_t m_max_waiting;
    std::mutex m_mutex;
    std::condition_variable m_work;  // a block is waiting, or the thread is to stop
    std::condition_variable m_room;  // a block was written
    std::deque<std::string> m_queue;
    std::vector<std::string> m_spare;  // written blocks whose room is used again
    bool m_writing = false;
    bool m_stop = false;
    int m_failure = 0;
    std::thread m_thread;  // last: started once the rest exists
};

}  // namespace script
