#pragma once

#include <mutex>
#include <unordered_set>

namespace brisko::enginelib {

// The archive handles an engine has handed out and not yet taken back. A pointer from the caller is
// used only once it is found here and carries the handle's magic number, so a stale, foreign or
// made-up pointer is never read through. Handle must have a static kMagic and a magic() member.
template <typename Handle> class HandleRegistry {
public:
    void add(Handle* handle) {
        std::lock_guard lock(m_lock);
        m_live.insert(handle);
    }
    void remove(Handle* handle) {
        std::lock_guard lock(m_lock);
        m_live.erase(handle);
    }
    bool contains(void* pointer) {
        std::lock_guard lock(m_lock);
        return pointer != nullptr && m_live.count(pointer) != 0 &&
               static_cast<Handle*>(pointer)->magic() == Handle::kMagic;
    }

private:
    std::mutex m_lock;
    std::unordered_set<void*> m_live;
};

} // namespace brisko::enginelib
