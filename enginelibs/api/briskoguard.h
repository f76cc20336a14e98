/*
 * Brisko's own addition to each engine's interface: what a batch run tells an engine before it works
 * on an archive, and what the engine tells back. An engine without these exports still extracts;
 * the caller then protects nothing and goes by file names.
 *
 * BriskoGuard (the engine copies the record itself; the Protected array and whatever UserData leads
 * to stay the caller's and must stay valid until the call returns or the handle is closed):
 *   Protected, ProtectedCount
 *       Files that no entry may replace, by device and inode: the archives and volumes of the run.
 *       Sorted by Device, then Inode, ascending (an engine sorts its own copy of an unsorted list).
 *       An entry whose target (the name itself, a link is not followed) is one of them is not
 *       written; the engine treats it as a refused entry, and the archive does not count as extracted.
 *   FileRead(UserData, Path, Id)
 *       Called on the caller's thread for each archive file the engine opens: the archive itself, then
 *       each later volume in the order the engine opens them, with the path it opened and the
 *       identity of what it got (a link's target). A file opened again is reported again. May be null.
 *   EntryFailed(UserData, Entry, Reason)
 *       Called on the caller's thread when the writer turns an entry down for a reason of the run, with
 *       the entry's path and a few words of English: "not enough free space" (writing it would leave
 *       less free space than the reserve the engines keep on every file system: 5% of it or 1 GiB,
 *       whichever is smaller), "would replace an archive of this run". May be null.
 *   KeepGoing(UserData)
 *       Asked while an entry's data is written, about once per MiB, possibly on a thread of the engine's
 *       own: 0 abandons the entry (nothing of it is left) and ends the call as a stop by the caller would
 *       (ZIP: 80). Must be safe to call from any thread. May be null (never stop).
 *
 * Calls:
 *   Wiz_SingleEntryUnzipGuarded(ifnc, ifnv, xfnc, xfnv, C, lpUserFunc, guard)
 *       Wiz_SingleEntryUnzip (unzip32.h) under `guard` (null: none).
 *   RARSetGuard(hArcData, guard), ACESetGuard(hArcData, guard)
 *       The guard holds for the rest of the handle; the files the handle opened already are reported
 *       at once. A null guard ends it. An invalid handle is ignored.
 *
 * Every engine opens only regular files as archives and volumes, without blocking: a FIFO, device or
 * socket under an archive's or volume's name is a file that cannot be opened.
 */
#ifndef BRISKO_BRISKOGUARD_H
#define BRISKO_BRISKOGUARD_H

#include "unzip32.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    unsigned long long Device;
    unsigned long long Inode;
} BriskoFileId;

typedef void (*BRISKOFILEREAD)(void* UserData, const char* Path, BriskoFileId Id);
typedef void (*BRISKOENTRYFAILED)(void* UserData, const char* Entry, const char* Reason);
typedef int (*BRISKOKEEPGOING)(void* UserData);

typedef struct {
    const BriskoFileId* Protected;
    unsigned long ProtectedCount;
    BRISKOFILEREAD FileRead;
    BRISKOENTRYFAILED EntryFailed;
    void* UserData;
    BRISKOKEEPGOING KeepGoing;
} BriskoGuard;

int Wiz_SingleEntryUnzipGuarded(int ifnc, char** ifnv, int xfnc, char** xfnv, DCL* C,
                                USERFUNCTIONS* lpUserFunc, const BriskoGuard* guard);
void RARSetGuard(void* hArcData, const BriskoGuard* guard);
void ACESetGuard(void* hArcData, const BriskoGuard* guard);

#ifdef __cplusplus
}
#endif

#endif
