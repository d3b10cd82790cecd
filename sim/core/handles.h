// Stand-in SDK: generation-checked handle tables.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace sim {

// Handle tables: a handle is (slot + 1, generation); destroying bumps the generation, so stale
// copies are refused without touching freed memory.
template <class T>
class Table {
public:
    std::pair<std::uint32_t, std::uint32_t> add(std::shared_ptr<T> obj) {
        std::lock_guard<std::mutex> lock(m_);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (!entries_[i].obj) {
                entries_[i].obj = std::move(obj);
                return {static_cast<std::uint32_t>(i + 1), entries_[i].gen};
            }
        }
        entries_.push_back({1u, std::move(obj)});
        return {static_cast<std::uint32_t>(entries_.size()), 1u};
    }
    std::shared_ptr<T> get(std::uint32_t slot, std::uint32_t gen) const {
        std::lock_guard<std::mutex> lock(m_);
        if (slot == 0 || slot > entries_.size()) return nullptr;
        const Entry& e = entries_[slot - 1];
        if (e.gen != gen) return nullptr;
        return e.obj;
    }
    // Removes the object; returns it so the caller can finish with it outside the lock.
    std::shared_ptr<T> remove(std::uint32_t slot, std::uint32_t gen) {
        std::lock_guard<std::mutex> lock(m_);
        if (slot == 0 || slot > entries_.size()) return nullptr;
        Entry& e = entries_[slot - 1];
        if (e.gen != gen || !e.obj) return nullptr;
        std::shared_ptr<T> out = std::move(e.obj);
        e.obj.reset();
        ++e.gen;
        if (e.gen == 0) e.gen = 1;
        return out;
    }
    std::vector<std::shared_ptr<T>> all() const {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<std::shared_ptr<T>> out;
        for (const Entry& e : entries_)
            if (e.obj) out.push_back(e.obj);
        return out;
    }
    // Removes every object at once; returns them so the caller can finish with them outside the lock
    // (objects added meanwhile are not touched).
    std::vector<std::shared_ptr<T>> take_all() {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<std::shared_ptr<T>> out;
        for (Entry& e : entries_) {
            if (!e.obj) continue;
            out.push_back(std::move(e.obj));
            e.obj.reset();
            ++e.gen;
            if (e.gen == 0) e.gen = 1;
        }
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_);
        for (Entry& e : entries_) {
            if (e.obj) {
                e.obj.reset();
                ++e.gen;
                if (e.gen == 0) e.gen = 1;
            }
        }
    }
    std::size_t live() const {
        std::lock_guard<std::mutex> lock(m_);
        std::size_t n = 0;
        for (const Entry& e : entries_) n += e.obj ? 1 : 0;
        return n;
    }

private:
    struct Entry {
        std::uint32_t gen;
        std::shared_ptr<T> obj;
    };
    mutable std::mutex m_;
    std::vector<Entry> entries_;
};

template <class H, class T>
std::shared_ptr<T> lookup(const Table<T>& table, const H& handle) {
    return table.get(handle.slot, handle.generation);
}

template <class H>
H make_handle(std::pair<std::uint32_t, std::uint32_t> sg) {
    H h;
    h.slot = sg.first;
    h.generation = sg.second;
    return h;
}

}  // namespace sim
