#include "unzip/ParallelDecoder.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>

#include "common/FileModes.h"
#include "unzip/ZipReader.h"

namespace brisko::enginelib {

namespace {

// A worker claims a few small entries at once: one trip to the lock for each of twenty thousand tiny
// files costs more than their data.
constexpr std::size_t kBatchEntries = 16;
constexpr std::uint64_t kBatchBytes = std::uint64_t(1) << 20;
constexpr std::size_t kWriteBuffer = std::size_t(1) << 20;
// Each fresh reader rereads the headers up to its entry; past this many, damage is everywhere and
// the caller is better off alone.
constexpr int kMaxReopens = 16;

} // namespace

struct ParallelDecoder::Slot {
    enum class State { Working, Begun, Whole, Declined };

    std::size_t index = 0;
    std::uint64_t size = 0; // as the directory gives it
    State state = State::Working;
    int marks = 0;
    SpooledFile file; // once Whole, until taken or passed
    std::atomic<bool> abandoned{false};
};

struct ParallelDecoder::Worker {
    std::unique_ptr<ZipReader> reader;
    bool hadReader = false;
    std::size_t position = 0; // the index of the entry the reader's next header belongs to
    std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
};

ParallelDecoder::ParallelDecoder(const ArchiveBytes& bytes, const CentralDirectory& directory,
                                 const Destination& destination, Wanted wanted, int workers, locale_t locale,
                                 std::int64_t markInterval, DecodeBounds bounds)
    : m_bytes(bytes), m_directory(directory), m_destination(destination), m_wanted(std::move(wanted)),
      m_locale(locale), m_markInterval(markInterval), m_bounds(bounds) {
    const std::size_t count = workers > 0 ? static_cast<std::size_t>(workers) : 0;
    m_workers = count;
    m_threads.reserve(count); // so that a failure below never leaves a running thread unowned
    try {
        for (std::size_t i = 0; i < count; ++i) {
            m_threads.emplace_back([this] { work(); });
        }
    } catch (...) {
        // No more threads to be had: the ones running do the work, or the caller does it alone.
        const std::lock_guard lock(m_mutex);
        m_workers = m_threads.size();
        m_givenUp = m_threads.empty();
    }
}

ParallelDecoder::~ParallelDecoder() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_claimable.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
}

// ---- the caller's side --------------------------------------------------------------------------

std::shared_ptr<ParallelDecoder::Slot> ParallelDecoder::slotOf(std::size_t index) const {
    return index >= m_base && index < m_next ? m_slots[index - m_base] : nullptr;
}

ParallelDecoder::Start ParallelDecoder::begin(std::size_t index) {
    std::unique_lock lock(m_mutex);
    while (true) {
        const std::shared_ptr<Slot> slot = slotOf(index);
        if (m_refused) {
            return Start::Stopped;
        }
        if (slot == nullptr && (m_givenUp || index < m_next)) {
            return Start::Declined;
        }
        if (slot != nullptr && slot->state != Slot::State::Working) {
            return slot->state == Slot::State::Declined ? Start::Declined : Start::Begun;
        }
        // Not claimed yet (every entry before it is passed, so the next free worker takes it), or
        // not begun yet.
        m_changed.wait(lock);
    }
}

ParallelDecoder::Take ParallelDecoder::take(std::size_t index, int& marks, const Mark& mark, SpooledFile& file) {
    std::unique_lock lock(m_mutex);
    const std::shared_ptr<Slot> slot = slotOf(index);
    if (slot == nullptr) {
        return Take::Declined;
    }
    while (true) {
        // The caller's callbacks keep its window alive and carry its answer to stop: they are not
        // held back until the whole entry is there, and they run without the lock.
        while (slot->marks > marks) {
            ++marks;
            lock.unlock();
            const bool goOn = mark(marks);
            lock.lock();
            if (!goOn) {
                return Take::Stopped;
            }
        }
        if (m_refused) {
            return Take::Stopped;
        }
        if (slot->state == Slot::State::Whole) {
            file = std::move(slot->file);
            return Take::Whole;
        }
        if (slot->state == Slot::State::Declined) {
            return Take::Declined;
        }
        m_changed.wait(lock);
    }
}

void ParallelDecoder::passed(std::size_t index) {
    std::vector<SpooledFile> dropped; // freed outside the lock: freeing a large file takes a while
    {
        const std::lock_guard lock(m_mutex);
        while (m_base < index) {
            if (!m_slots.empty()) {
                Slot& slot = *m_slots.front();
                slot.abandoned = true;
                m_bytesAhead -= slot.size;
                if (slot.file.isOpen()) {
                    dropped.push_back(std::move(slot.file));
                }
                m_slots.pop_front();
            }
            ++m_base;
        }
        if (m_next < m_base) {
            m_next = m_base; // entries the caller passed before anyone claimed them are not claimed now
        }
    }
    m_claimable.notify_all();
}

bool ParallelDecoder::givenUp() {
    const std::lock_guard lock(m_mutex);
    return m_givenUp;
}

// ---- the workers --------------------------------------------------------------------------------

bool ParallelDecoder::mayClaim() const {
    const std::size_t ahead = m_slots.size();
    if (ahead == 0) {
        return true; // the caller waits for this one
    }
    if (ahead >= m_bounds.entries) {
        return false;
    }
    return m_bytesAhead + m_directory.entries[m_next].uncompressedSize <= m_bounds.bytes || ahead < m_workers;
}

bool ParallelDecoder::claim(std::vector<std::shared_ptr<Slot>>& batch) {
    const std::size_t count = m_directory.entries.size();
    std::unique_lock lock(m_mutex);
    m_claimable.wait(lock, [&] { return m_stop || m_givenUp || m_refused || m_next >= count || mayClaim(); });
    if (m_stop || m_givenUp || m_refused || m_next >= count) {
        return false;
    }
    std::uint64_t batchBytes = 0;
    do {
        auto slot = std::make_shared<Slot>();
        slot->index = m_next;
        slot->size = m_directory.entries[m_next].uncompressedSize;
        m_bytesAhead += slot->size;
        batchBytes += slot->size;
        m_slots.push_back(slot);
        batch.push_back(std::move(slot));
        ++m_next;
    } while (batch.size() < kBatchEntries && batchBytes < kBatchBytes && m_next < count && mayClaim());
    return true;
}

void ParallelDecoder::work() noexcept {
    if (m_locale != nullptr) {
        uselocale(m_locale);
    }
    std::vector<std::shared_ptr<Slot>> batch;
    std::size_t done = 0; // of the batch
    try {
        Worker worker;
        while (true) {
            batch.clear();
            done = 0;
            if (!claim(batch)) {
                break;
            }
            for (; done < batch.size(); ++done) {
                SpooledFile file;
                finish(*batch[done], decode(worker, *batch[done], file), file);
            }
        }
    } catch (...) {
        // Out of memory on this thread: whatever it claimed is left to the caller, and so is the rest.
        {
            const std::lock_guard lock(m_mutex);
            m_givenUp = true;
        }
        SpooledFile none;
        for (; done < batch.size(); ++done) {
            finish(*batch[done], Result::GiveUp, none);
        }
        m_changed.notify_all();
        m_claimable.notify_all();
    }
}

void ParallelDecoder::finish(Slot& slot, Result result, SpooledFile& file) {
    {
        const std::lock_guard lock(m_mutex);
        if (result == Result::Whole && !slot.abandoned) {
            slot.file = std::move(file);
            slot.state = Slot::State::Whole;
        } else {
            slot.state = Slot::State::Declined;
        }
        m_givenUp = m_givenUp || result == Result::GiveUp;
        m_refused = m_refused || result == Result::Stopped;
    }
    m_changed.notify_all();
    if (result == Result::GiveUp || result == Result::Stopped) {
        m_claimable.notify_all();
    }
    file.drop(); // an abandoned one
}

ParallelDecoder::Result ParallelDecoder::decode(Worker& worker, Slot& slot, SpooledFile& file) {
    if (slot.abandoned || m_stop) {
        return Result::Declined;
    }
    if (worker.reader == nullptr) {
        if (worker.hadReader) {
            const std::lock_guard lock(m_mutex);
            if (++m_reopens > kMaxReopens) {
                return Result::GiveUp;
            }
        }
        worker.hadReader = true;
        worker.reader = std::make_unique<ZipReader>(m_bytes);
        worker.position = 0;
        if (!worker.reader->open()) {
            worker.reader.reset();
            return Result::GiveUp;
        }
    }
    struct archive* reader = worker.reader->archive();
    // Over the entries of the other workers (their data is skipped, not read) to this one.
    archive_entry* entry = nullptr;
    int status = ARCHIVE_OK;
    while (worker.position <= slot.index) {
        if (m_stop) {
            return Result::Declined;
        }
        status = archive_read_next_header(reader, &entry);
        ++worker.position;
        if (status == ARCHIVE_EOF || status < ARCHIVE_WARN) {
            // The caller's reader meets the same end or damage, in order, and deals with it.
            worker.reader.reset();
            return Result::GiveUp;
        }
    }
    const CentralEntry& central = m_directory.entries[slot.index];
    if (status != ARCHIVE_OK || !describesEntry(archive_entry_pathname(entry), central) ||
        kindOfMode(archive_entry_mode(entry)) != EntryKind::File || archive_entry_is_encrypted(entry) ||
        !m_wanted(slot.index)) {
        return Result::Declined;
    }
    // The first block settles the method before any file is made for the entry, as the caller does.
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    status = archive_read_data_block(reader, &block, &size, &offset);
    if (status != ARCHIVE_OK && status != ARCHIVE_EOF) {
        if (status < ARCHIVE_FAILED) {
            worker.reader.reset(); // it refuses every further call; a fresh one reads on
        }
        return Result::Declined;
    }
    const std::uint64_t declared =
        archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0;
    if (m_destination.beginSpooled(archive_entry_perm(entry), declared, worker.buffer.get(), kWriteBuffer, file) !=
        Outcome::Done) {
        return Result::GiveUp; // no room, or no unnamed files here: the caller finds out for itself
    }
    {
        const std::lock_guard lock(m_mutex);
        slot.state = Slot::State::Begun;
    }
    m_changed.notify_all();
    std::int64_t written = 0;
    int marks = 0;
    while (status == ARCHIVE_OK) {
        if (offset != written) {
            return Result::Declined; // the caller's reader tells what went wrong
        }
        if (size > 0 && !file.write(block, size)) {
            // The caller's KeepGoing said no: the whole extraction stops, as it would on its thread.
            return file.error() == ECANCELED ? Result::Stopped : Result::GiveUp;
        }
        written += static_cast<std::int64_t>(size);
        if (written / m_markInterval > marks) {
            marks = static_cast<int>(written / m_markInterval);
            {
                const std::lock_guard lock(m_mutex);
                slot.marks = marks;
            }
            m_changed.notify_all();
        }
        if (m_stop || slot.abandoned) {
            return Result::Declined;
        }
        status = archive_read_data_block(reader, &block, &size, &offset);
    }
    // The reader checks the CRC and the sizes at the end; anything but a clean end is the caller's to
    // find and report.
    if (status != ARCHIVE_EOF) {
        if (status < ARCHIVE_FAILED) {
            worker.reader.reset();
        }
        return Result::Declined;
    }
    return file.seal(entryTime(entry)) ? Result::Whole : Result::GiveUp;
}

} // namespace brisko::enginelib
