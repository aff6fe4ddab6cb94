// A log sink that keeps the lines in memory while it is installed, for tests
// that read what the code under test logged.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/LogSink.h"

class CMemoryLogSink final : public ILogSink {
  public:
    CMemoryLogSink() : m_pPrevious(InstallLogSink(this)) {}
    ~CMemoryLogSink() override { InstallLogSink(m_pPrevious); }
    CMemoryLogSink(const CMemoryLogSink&) = delete;
    CMemoryLogSink& operator=(const CMemoryLogSink&) = delete;

    bool TakesLines() const override { return true; }
    void WriteLine(const std::wstring& line) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    }

    std::vector<std::wstring> All() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // The lines written since the previous call.
    std::vector<std::wstring> New() {
        std::lock_guard lock(m_mutex);
        std::vector<std::wstring> fresh(m_lines.begin() + static_cast<std::ptrdiff_t>(m_nSeen), m_lines.end());
        m_nSeen = m_lines.size();
        return fresh;
    }
    bool Contains(const std::wstring& line) const {
        std::lock_guard lock(m_mutex);
        for (const auto& l : m_lines)
            if (l == line) return true;
        return false;
    }

  private:
    ILogSink* m_pPrevious;
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
    std::size_t m_nSeen = 0;
};
