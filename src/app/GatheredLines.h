// Lines of one output (log file, console) that a thread gathers in its log line batch.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

#include "platform/Handles.h"
#include "platform/Types.h"

// One gathering per output, shared by all threads and guarded by the
// output's lock: Add and WriteOwn are called with it held. At most one
// thread has lines gathered at a time; a line from another thread writes
// them first, so the output keeps the order in which lines were logged.
// `write` is called with whole lines (each with its line break).
template <typename Text>
class CGatheredLines {
  public:
    // `limit`: the most the gathering holds; a line that would pass it
    // writes the gathered lines first.
    explicit CGatheredLines(std::size_t limit) : m_nLimit(limit) {}

    // `line` (with its line break) goes out now, or later with the calling
    // thread's other lines when `gather` (the thread has a batch open).
    template <typename Piece, typename Write>
    void Add(const Piece& line, bool gather, Write&& write) {
        const DWORD self = plat::CurrentThreadId();
        if (!gather || m_dwThreadId.load(std::memory_order_relaxed) != self) WriteAll(write);
        if (!gather) {
            write(line);
            return;
        }
        if (!m_text.empty() && m_text.size() + line.size() > m_nLimit) WriteAll(write);
        try {
            m_text.append(line.data(), line.size());  // unchanged when it throws
        } catch (const std::bad_alloc&) {
            // No room to gather: what is gathered goes now, this line after it.
            WriteAll(write);
            write(line);
            return;
        }
        m_dwThreadId.store(self, std::memory_order_relaxed);
        if (m_text.size() >= m_nLimit) WriteAll(write);
    }

    // The calling thread's gathered lines go out now, if it has any.
    template <typename Write>
    void WriteOwn(Write&& write) {
        if (HasOwn()) WriteAll(write);
    }

    // Whether the calling thread has lines gathered; callable without the
    // lock (only the thread itself makes this true, and another thread only
    // makes it false after writing them).
    bool HasOwn() const { return m_dwThreadId.load(std::memory_order_relaxed) == plat::CurrentThreadId(); }

  private:
    template <typename Write>
    void WriteAll(Write& write) {
        if (!m_text.empty()) write(m_text);
        m_text.clear();  // the buffer keeps its room for the next batch
        m_dwThreadId.store(0, std::memory_order_relaxed);
    }

    Text m_text;
    std::atomic<DWORD> m_dwThreadId{0};  // the thread whose lines m_text holds (0: none)
    const std::size_t m_nLimit;
};
