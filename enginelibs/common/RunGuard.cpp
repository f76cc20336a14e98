#include "common/RunGuard.h"

#include <algorithm>

namespace brisko::enginelib {

namespace {

bool before(const BriskoFileId& a, const BriskoFileId& b) {
    return a.Device != b.Device ? a.Device < b.Device : a.Inode < b.Inode;
}

BriskoFileId idOf(const struct stat& info) {
    return {static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)};
}

} // namespace

void RunGuard::set(const BriskoGuard* guard) {
    *this = RunGuard{};
    if (guard == nullptr) {
        return;
    }
    m_fileRead = guard->FileRead;
    m_entryFailed = guard->EntryFailed;
    m_keepGoing = guard->KeepGoing;
    m_userData = guard->UserData;
    if (guard->Protected == nullptr || guard->ProtectedCount == 0) {
        return;
    }
    m_protected = guard->Protected;
    m_count = guard->ProtectedCount;
    // A search in an unsorted list would miss files: a wrong order costs a copy, never protection.
    if (!std::is_sorted(m_protected, m_protected + m_count, before)) {
        m_sorted.assign(m_protected, m_protected + m_count);
        std::sort(m_sorted.begin(), m_sorted.end(), before);
        m_protected = m_sorted.data();
    }
}

bool RunGuard::protects(const struct stat& info) const {
    return m_count > 0 && std::binary_search(m_protected, m_protected + m_count, idOf(info), before);
}

void RunGuard::fileRead(const std::string& path, const struct stat& info) const {
    if (m_fileRead != nullptr) {
        m_fileRead(m_userData, path.c_str(), idOf(info));
    }
}

} // namespace brisko::enginelib

namespace brisko::enginelib {

void RunGuard::entryFailed(const std::string& entry, const char* reason) const {
    if (m_entryFailed != nullptr) {
        m_entryFailed(m_userData, entry.c_str(), reason);
    }
}

} // namespace brisko::enginelib

namespace brisko::enginelib {

bool RunGuard::keepGoing() const {
    return m_keepGoing == nullptr || m_keepGoing(m_userData) != 0;
}

} // namespace brisko::enginelib
