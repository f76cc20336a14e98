#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <locale.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/Destination.h"
#include "common/SpooledFile.h"
#include "unzip/CentralDirectory.h"

namespace brisko::enginelib {

class ZipReader;

// How far the workers may run ahead of the thread that takes their files: entries claimed and not yet
// passed by that thread (each holds at most one open file), and their bytes as the directory gives
// them. Each worker may hold one entry whatever its size, or a single large entry would leave the
// other workers idle.
struct DecodeBounds {
    std::size_t entries = 64;
    std::uint64_t bytes = std::uint64_t(64) << 20;
};

// Decodes the file entries of one ZIP archive on worker threads, ahead of the thread that created it
// (the caller) and in no particular order, into spooled files of the destination (unnamed, on its file
// system, counted against its reserve). The caller goes through the archive in its order as it would
// alone and takes each file from here when it comes to it; everything else (names, folders, links, the
// duplicate policy, callbacks, placing) stays the caller's.
//
// Each worker has its own reader on the archive's descriptor and claims the next few entries in
// archive order. An entry that a worker cannot deliver whole and checked is declined: not a plain file
// the caller wants, a header or data the reader complains about, or any failure to write. The caller
// then decodes it itself, so that what the caller reports is what it would report alone. When a
// worker runs out of room or cannot make files at all, or readers keep failing, the decoder gives up:
// nothing more is claimed, and the caller is expected to drop it and go on alone.
//
// Every member function is for the caller's thread only. Destroying the decoder stops the workers
// within a block of data and frees every file not taken.
class ParallelDecoder {
public:
    // Whether entry `index` of the directory is worth decoding ahead (selected, with a usable name).
    // Called on worker threads: it may only read what does not change while the decoder lives.
    using Wanted = std::function<bool(std::size_t index)>;
    // The caller's report of the `mark`th `markInterval` of an entry's data written; false stops it.
    using Mark = std::function<bool(int mark)>;

    enum class Start { Begun, Declined, Stopped };
    enum class Take { Whole, Declined, Stopped };

    // `bytes` hold the archive that `directory` describes; both, the destination and whatever `wanted`
    // reads must outlive the decoder. Workers run in `locale` (null:
    // the process's locale), so that their readers convert names as the caller's does.
    ParallelDecoder(const ArchiveBytes& bytes, const CentralDirectory& directory, const Destination& destination,
                    Wanted wanted, int workers, locale_t locale, std::int64_t markInterval,
                    DecodeBounds bounds = {});
    ~ParallelDecoder();
    ParallelDecoder(const ParallelDecoder&) = delete;
    ParallelDecoder& operator=(const ParallelDecoder&) = delete;

    // The caller has come to the file entry `index` (at least the last index given to passed()) and
    // wants its data. Waits until a worker has read the start of it: Begun, or Declined (decode it
    // yourself). Stopped, here and in take(), when the guard's KeepGoing told a worker to stop.
    Start begin(std::size_t index);

    // After Begun: waits until the entry is whole. `marks` is how many marks of the entry the caller
    // reported already; for each further one the worker passed, it is counted up and `mark` called, in
    // order, also while waiting. Whole moves the sealed file into `file`. Declined: decode it yourself
    // (the marks reported stay reported). Stopped: `mark` answered false.
    Take take(std::size_t index, int& marks, const Mark& mark, SpooledFile& file);

    // The caller is done with every entry before `index`: files it did not take are dropped, workers
    // still decoding them stop.
    void passed(std::size_t index);

    // Whether the decoder gave up decoding ahead (see the class comment).
    bool givenUp();

private:
    struct Slot;
    struct Worker;
    enum class Result { Whole, Declined, GiveUp, Stopped };

    void work() noexcept;
    bool claim(std::vector<std::shared_ptr<Slot>>& batch);
    bool mayClaim() const;
    Result decode(Worker& worker, Slot& slot, SpooledFile& file);
    void finish(Slot& slot, Result result, SpooledFile& file);
    std::shared_ptr<Slot> slotOf(std::size_t index) const;

    const ArchiveBytes& m_bytes;
    const CentralDirectory& m_directory;
    const Destination& m_destination;
    const Wanted m_wanted;
    const locale_t m_locale;
    const std::int64_t m_markInterval;
    const DecodeBounds m_bounds;

    std::mutex m_mutex;
    std::condition_variable m_changed; // a slot moved on: for the caller
    std::condition_variable m_claimable; // the caller moved on, or stop: for the workers
    std::deque<std::shared_ptr<Slot>> m_slots; // entries m_base .. m_next - 1
    std::size_t m_base = 0;                    // the caller's entry
    std::size_t m_next = 0;                    // the next entry to claim
    std::uint64_t m_bytesAhead = 0;
    std::size_t m_workers = 0;
    int m_reopens = 0;
    bool m_givenUp = false;
    bool m_refused = false; // the guard's KeepGoing said no to a worker: everything stops
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

} // namespace brisko::enginelib
