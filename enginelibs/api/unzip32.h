/*
 * The ZIP engine's published interface: one call extracts one archive, asking the caller back
 * through callbacks. Plain C; all text is UTF-8 (the locale's charset on Linux), zero-terminated.
 *
 * Contract of Wiz_SingleEntryUnzip(ifnc, ifnv, xfnc, xfnv, C, lpUserFunc):
 *   ifnc/ifnv  names to extract (count 0 = every entry); xfnc/xfnv names to leave out (count 0 =
 *              none). Shell patterns (* ? [...]) matched against whole entry names, '*' also
 *              across '/'. The engine only reads these lists.
 *   C          the options, read only. lpszZipFN is the archive, lpszExtractDir the destination
 *              folder (it must exist, else the result is 50; null or "" is the current folder; a
 *              trailing '/' is allowed). nvflag 0 extracts, 1 only lists (SendApplicationMessage).
 *              The duplicate-file policy comes from noflag, ExtractOnlyNewer/nfflag and
 *              PromptToOverwrite:
 *                PromptToOverwrite != 0            ask through `replace` for each existing target
 *                                                  (without a `replace` callback: keep it)
 *                else ExtractOnlyNewer or nfflag   replace an existing file only with an entry more
 *                                                  than 2 seconds newer (UTC when the entry carries
 *                                                  a UTC time, else its DOS time read as local time)
 *                else noflag != 0                  always replace
 *                else                              never replace (existing files are skipped)
 *              The other fields are accepted and ignored.
 *   lpUserFunc the callbacks; any of them may be null. The totals after them are not used.
 *
 * Names (and link targets) are read by the rule ZIP tools converge on: the UTF-8 flag set, UTF-8;
 * else an Info-ZIP Unicode Path field whose CRC matches the stored name, that field; else, made on
 * DOS or Windows (FAT, HPFS, NTFS, VFAT) or not valid UTF-8, CP437; else the bytes as they are (Unix,
 * macOS). '\' separates folders. The engine reads the central directory itself: entries that share
 * data or reach into the directory (the overlap bomb), or a directory that does not hold the number
 * of entries its end record counts, make the archive damaged (3) before anything is written.
 * A file is not begun, and one being written is stopped, when it would leave less free space on the
 * destination's file system than 5% of it or 1 GiB, whichever is smaller (50).
 * Every entry is written only inside the destination: absolute names, drive and UNC prefixes,
 * ".." components and paths through symbolic links are refused (the entry is not written and the
 * result is not 0); a symbolic link is made only when its target stays inside the destination.
 * A file is written under a temporary name and moved into place only when its CRC checked out,
 * so a failed, refused or stopped entry leaves no file behind and leaves an existing file as it
 * was. Devices, FIFOs and sockets are never created; set-id bits are dropped and the owner can
 * always read and write what was extracted.
 *
 * Result: 0 only when every entry was written whole or deliberately skipped by the duplicate-file
 * policy (or by a "no" to `replace`). Otherwise the first fault's code:
 *   1 warning (for example an unsafe entry that was refused), 2 or 3 damaged archive (2: an
 *   entry failed its CRC or size check; 3: the archive cannot be read on, or its central
 *   directory is inconsistent), 4 out of memory,
 *   9 not a ZIP archive or missing, 10 no options record, 50 disk full or a file that cannot be
 *   written (also a file where a folder is needed, or the reverse), 80 stopped by the service or
 *   print callback, 81 unsupported method or encryption, 82 password missing or wrong.
 *   An entry's fault does not stop the others; 3 after an unreadable header, 50 for a full disk
 *   and 80 do.
 *
 * Callbacks (called on the caller's thread, from inside Wiz_SingleEntryUnzip):
 *   print(text, length)   one progress line. For each file:  "  inflating: " or " extracting: "
 *                         + destination + "/" + entry path + "\n"; for each folder:
 *                         "   creating: " + destination + "/" + path + "/\n"; for an existing file
 *                         kept by the duplicate policy: "Target file exists.  Skipping " ... or
 *                         "Target file newer.  Skipping " ...; other deliberate skips start with
 *                         "   skipping: ". A link: " extracting: " + path + " -> " + target.
 *                         Refused entries: "  refusing: " + name + "  (reason)"; errors:
 *                         "     error: " + path + "  (reason)". Control characters in names are
 *                         shown as '?'. A non-zero result asks the engine to stop (code 80).
 *   replace(path)         path = destination + "/" + entry path of an existing target. Answers:
 *                         100 keep it, 102 replace it, 103 replace it and every further one in this
 *                         archive without asking, 104 keep it and every further one without asking.
 *   password(buf, size, prompt, entry)
 *                         an encrypted entry needs a password: write it, zero-terminated, into buf
 *                         (size bytes, 256) and return 0; return 1 to skip the entry. Called again for
 *                         the same entry while the password given does not fit (at most 64 times);
 *                         passwords given for earlier entries are tried first, without asking.
 *   ServCallBk(entry, size)
 *                         called before each entry (with its size) and every 2 MiB inside a large one
 *                         (with the bytes written so far); a non-zero result stops the extraction:
 *                         the partial file is removed and the result is 80.
 *   SendApplicationMessage(...)
 *                         listing data of an entry; called once per entry when listing (nvflag 1).
 *                         The compressed size, factor and CRC are 0 (the reader does not tell
 *                         them); c is ' '; encrypted is 1 or 0.
 *   sound                 never called.
 */
#ifndef BRISKO_UNZIP32_H
#define BRISKO_UNZIP32_H

#ifdef __cplusplus
extern "C" {
#endif

#define UNZ_REPLACE_NO 100
#define UNZ_REPLACE_YES 102
#define UNZ_REPLACE_ALL 103
#define UNZ_REPLACE_NONE 104

typedef struct {
    int ExtractOnlyNewer;
    int SpaceToUnderscore;
    int PromptToOverwrite;
    int fQuiet;
    int ncflag;
    int ntflag;
    int nvflag;
    int nfflag;
    int nzflag;
    int ndflag;
    int noflag;
    int naflag;
    int nZIflag;
    int C_flag;
    int fPrivilege;
    const char* lpszZipFN;
    const char* lpszExtractDir;
} DCL;

typedef int (*DLLPRNT)(char* text, unsigned long length);
typedef void (*DLLSND)(void);
typedef int (*DLLREPLACE)(char* path);
typedef int (*DLLPASSWORD)(char* buffer, int size, const char* prompt, const char* entry);
typedef void (*DLLMESSAGE)(unsigned long uncompressed, unsigned long compressed, unsigned factor,
                           unsigned month, unsigned day, unsigned year, unsigned hour, unsigned minute,
                           char c, const char* entry, const char* method, unsigned long crc, char encrypted);
typedef int (*DLLSERVICE)(const char* entry, unsigned long size);

typedef struct {
    DLLPRNT print;
    DLLSND sound;
    DLLREPLACE replace;
    DLLPASSWORD password;
    DLLMESSAGE SendApplicationMessage;
    DLLSERVICE ServCallBk;
    unsigned long TotalSizeComp;
    unsigned long TotalSize;
    unsigned long CompFactor;
    unsigned long NumMembers;
    unsigned short cchComment;
} USERFUNCTIONS;

int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, DCL* C, USERFUNCTIONS* lpUserFunc);

#ifdef __cplusplus
}
#endif

#endif
