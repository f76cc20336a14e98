#include "batch/WaitingArchives.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch/PathHelpers.h"

namespace brisko::batch {

namespace {

constexpr std::uint32_t kNameChanges = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;

bool IsBelow(std::string_view path, std::string_view folder) {
    if (folder == "/") {
        return path.size() > 1 && path.front() == '/';
    }
    return path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

} // namespace

WaitingArchives::WaitingArchives(std::span<const std::string> archives) {
    m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_lookAtAll = m_inotify < 0;
    for (const std::string& path : archives) {
        struct stat info {};
        if (m_guards.count(path) != 0 || lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        Guard guard{SecondName(path), info.st_dev, info.st_ino};
        if (link(path.c_str(), guard.keep.c_str()) != 0) {
            m_unlinkable.push_back(path); // FAT and some network file systems have no hard links
            continue;
        }
        Watch(FolderOf(path));
        m_guards.emplace(path, std::move(guard));
    }
    CollectTouched(); // our own links
    m_touched.clear();
}

WaitingArchives::~WaitingArchives() {
    EndExtraction();
    for (const auto& [path, guard] : m_guards) {
        unlink(guard.keep.c_str());
    }
    if (m_inotify >= 0) {
        close(m_inotify);
    }
}

std::string WaitingArchives::SecondName(const std::string& path) {
    return FolderOf(path) + ".brisko-waiting-" + std::to_string(getpid()) + "-" + std::to_string(++m_counter);
}

void WaitingArchives::Watch(const std::string& folder) {
    if (m_inotify < 0 || m_watched.count(folder) != 0) {
        return;
    }
    const int watch = inotify_add_watch(m_inotify, folder.c_str(), kNameChanges);
    if (watch < 0) {
        m_lookAtAll = true; // out of watches: fall back to looking at every guard
        return;
    }
    m_watched.emplace(folder, watch);
    m_watches.emplace(watch, folder);
}

void WaitingArchives::CollectTouched() {
    if (m_inotify < 0) {
        return;
    }
    alignas(inotify_event) char buffer[16384];
    for (ssize_t got; (got = read(m_inotify, buffer, sizeof buffer)) > 0;) {
        for (const char* at = buffer; at < buffer + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                m_lookAtAll = true; // names were lost
            } else if (event->len > 0) {
                if (const auto watch = m_watches.find(event->wd); watch != m_watches.end()) {
                    m_touched.push_back(watch->second + event->name);
                }
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
}

void WaitingArchives::BeginExtraction(const std::string& archive, const std::string& destination) {
    // What changed since the last extraction is our own doing (the trash step, say): a guard whose
    // archive is gone or replaced now is dropped, not put back.
    CollectTouched();
    auto stillGuarded = [](const std::string& path, const Guard& guard) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0 && info.st_dev == guard.device && info.st_ino == guard.inode;
    };
    auto drop = [&](const std::string& path) {
        if (const auto it = m_guards.find(path); it != m_guards.end()) {
            unlink(it->second.keep.c_str());
            m_guards.erase(it);
        }
    };
    if (m_lookAtAll) {
        for (auto it = m_guards.begin(); it != m_guards.end();) {
            const bool keep = stillGuarded(it->first, it->second);
            if (!keep) {
                unlink(it->second.keep.c_str());
            }
            it = keep ? std::next(it) : m_guards.erase(it);
        }
    } else {
        for (const std::string& path : m_touched) {
            if (const auto it = m_guards.find(path); it != m_guards.end() && !stillGuarded(path, it->second)) {
                drop(path);
            }
        }
    }
    m_touched.clear();
    drop(archive);
    std::erase(m_unlinkable, archive);

    for (const std::string& path : m_unlinkable) {
        const std::string keep = SecondName(path);
        if (IsBelow(path, destination) && std::rename(path.c_str(), keep.c_str()) == 0) {
            m_steppedAside.push_back({path, keep});
        }
    }
}

bool WaitingArchives::EndExtraction() {
    bool putBack = false;
    for (const SteppedAside& aside : m_steppedAside) {
        struct stat info {};
        // Something new at its name: the extraction wrote it there, and it gives way.
        putBack = putBack || lstat(aside.path.c_str(), &info) == 0;
        std::rename(aside.keep.c_str(), aside.path.c_str());
    }
    m_steppedAside.clear();

    CollectTouched();
    auto putBackIfChanged = [&](const std::string& path, Guard& guard) {
        struct stat info {};
        const bool unchanged =
            lstat(path.c_str(), &info) == 0 && info.st_dev == guard.device && info.st_ino == guard.inode;
        if (unchanged || guard.keep.empty()) {
            return;
        }
        // The second name goes back to the first, and the archive gets a new second name.
        std::rename(guard.keep.c_str(), path.c_str());
        guard.keep = SecondName(path);
        if (link(path.c_str(), guard.keep.c_str()) != 0) {
            guard.keep.clear();
        }
        putBack = true;
    };
    if (m_lookAtAll) {
        for (auto& [path, guard] : m_guards) {
            putBackIfChanged(path, guard);
        }
    } else {
        for (const std::string& path : m_touched) {
            if (const auto it = m_guards.find(path); it != m_guards.end()) {
                putBackIfChanged(path, it->second);
            }
        }
    }
    m_touched.clear();
    CollectTouched(); // our own renames
    m_touched.clear();
    return putBack;
}

} // namespace brisko::batch
