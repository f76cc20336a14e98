#include "acedec/VolumeProvider.h"

#include <cctype>

namespace brisko::acedec {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::string volumeFileName(const std::string& firstPath, unsigned index, bool upperCase) {
    if (index == 0) {
        return firstPath;
    }
    const std::size_t slash = firstPath.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = firstPath.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && dot >= nameStart;
    const std::string base = hasExtension ? firstPath.substr(0, dot) : firstPath;
    const std::string ext = hasExtension ? firstPath.substr(dot + 1) : std::string();

    // A set may be opened at a later volume: ".c05" counts as 5 and ".105" as 105; any other
    // extension (".ace", an SFX ".exe") stands before the first numbered one.
    long current = -1;
    if (ext.size() == 3 && isDigit(ext[1]) && isDigit(ext[2])) {
        current = (ext[1] - '0') * 10 + (ext[2] - '0');
        if (isDigit(ext[0])) {
            current += (ext[0] - '0') * 100;
        }
    }
    const long number = current + static_cast<long>(index);
    if (number > 999) {
        return {};
    }
    std::string next = base + '.';
    if (number < 100) {
        next += upperCase ? 'C' : 'c';
        next += static_cast<char>('0' + number / 10);
        next += static_cast<char>('0' + number % 10);
    } else {
        next += std::to_string(number);
    }
    return next;
}

FileVolumeProvider::FileVolumeProvider(std::string firstPath) : m_firstPath(std::move(firstPath)) {
    const std::size_t dot = m_firstPath.find_last_of('.');
    if (dot != std::string::npos && dot + 1 < m_firstPath.size()) {
        m_upperFirst = std::isupper(static_cast<unsigned char>(m_firstPath[dot + 1])) != 0;
    }
}

std::unique_ptr<ByteSource> FileVolumeProvider::opened(const std::string& path) {
    auto source = FileSource::open(path);
    if (source) {
        m_opened.emplace_back(path, source->info());
        if (m_observer) {
            m_observer(path, source->info());
        }
    }
    return source;
}

void FileVolumeProvider::observe(Observer observer) {
    m_observer = std::move(observer);
    for (const auto& [path, info] : m_opened) {
        if (m_observer) {
            m_observer(path, info);
        }
    }
}

std::unique_ptr<ByteSource> FileVolumeProvider::openVolume(unsigned index) {
    if (index == 0) {
        return opened(m_firstPath);
    }
    for (const bool upper : {m_upperFirst, !m_upperFirst}) {
        const std::string name = volumeFileName(m_firstPath, index, upper);
        if (name.empty()) {
            return nullptr;
        }
        if (auto source = opened(name)) {
            return source;
        }
    }
    return nullptr;
}

std::unique_ptr<ByteSource> MemoryVolumeProvider::openVolume(unsigned index) {
    if (index >= m_volumes.size()) {
        return nullptr;
    }
    return std::make_unique<MemorySource>(m_volumes[index].data, m_volumes[index].size);
}

} // namespace brisko::acedec
