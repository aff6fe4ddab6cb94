// A resource counted across all connections of a server (bytes, descriptors), and a lease on part of it.
//
// A budget is a limit and the amount in use. Connections take from it and
// give back; the server looks at what is in use to decide when a request
// must wait, be refused, or when a connection must give way. The counters
// are atomic because a reply's bytes may be released on another thread (a
// listing document is shared with the thread that built it); everything
// else happens on the listener thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

class CBudget {
  public:
    explicit CBudget(std::uint64_t limit) : m_nLimit(limit) {}
    CBudget(const CBudget&) = delete;
    CBudget& operator=(const CBudget&) = delete;

    std::uint64_t Limit() const { return m_nLimit; }
    std::uint64_t Used() const { return m_nUsed.load(std::memory_order_relaxed); }
    // Taking `amount` more would pass the limit.
    bool WouldPass(std::uint64_t amount) const { return Used() + amount > m_nLimit; }
    bool IsOver() const { return Used() > m_nLimit; }

    void Take(std::uint64_t amount) { m_nUsed.fetch_add(amount, std::memory_order_relaxed); }
    void Give(std::uint64_t amount) { m_nUsed.fetch_sub(amount, std::memory_order_relaxed); }

  private:
    const std::uint64_t m_nLimit;
    std::atomic<std::uint64_t> m_nUsed{0};
};

// An amount taken from a budget, given back when the lease ends (destroyed,
// moved over, or resized). A default lease holds nothing.
class CBudgetLease {
  public:
    CBudgetLease() = default;
    CBudgetLease(CBudget& budget, std::uint64_t amount) : m_pBudget(&budget), m_nAmount(amount) { budget.Take(amount); }
    CBudgetLease(CBudgetLease&& other) noexcept
        : m_pBudget(std::exchange(other.m_pBudget, nullptr)), m_nAmount(std::exchange(other.m_nAmount, 0)) {}
    CBudgetLease& operator=(CBudgetLease&& other) noexcept {
        if (this != &other) {
            Release();
            m_pBudget = std::exchange(other.m_pBudget, nullptr);
            m_nAmount = std::exchange(other.m_nAmount, 0);
        }
        return *this;
    }
    ~CBudgetLease() { Release(); }

    bool Holds() const { return m_pBudget != nullptr && m_nAmount != 0; }
    std::uint64_t Amount() const { return m_nAmount; }
    // Holds `amount` from `budget` from now on (the budget must stay the same once set).
    void Resize(CBudget& budget, std::uint64_t amount) {
        if (m_pBudget == nullptr) m_pBudget = &budget;
        if (amount > m_nAmount) m_pBudget->Take(amount - m_nAmount);
        if (amount < m_nAmount) m_pBudget->Give(m_nAmount - amount);
        m_nAmount = amount;
    }
    void Release() {
        if (m_pBudget != nullptr && m_nAmount != 0) m_pBudget->Give(m_nAmount);
        m_nAmount = 0;
    }

  private:
    CBudget* m_pBudget = nullptr;
    std::uint64_t m_nAmount = 0;
};
