/*
 * The RAR engine's published interface: open an archive (its first volume), read its entry headers
 * one by one and skip or extract each entry. Plain C; the records are laid out as the published
 * header lays them out on a 64-bit system. All text is UTF-8 (the locale's charset), zero-terminated.
 *
 * Calls, in the order of one pass:
 *   RAROpenArchive(data)   data->ArcName is the archive (the first volume of a set); OpenMode is
 *                          RAR_OM_LIST (walk headers only, decompress nothing) or RAR_OM_EXTRACT.
 *                          Returns a handle, or null with data->OpenResult set to an ERAR_ code
 *                          (OpenResult 0 means opened). A volume set is found from its first volume
 *                          (name.partN.rar keeping the digit width, or name.rar, name.r00, name.r01,
 *                          ...) and checked for completeness and order when it is opened.
 *   RARSetPassword(h, pw)  the password for encrypted data and encrypted headers; it holds for the
 *                          rest of this handle. The engine copies the text.
 *   RARReadHeader(h, hd)   reads the next entry's header into hd: 0, or ERAR_END_ARCHIVE after the
 *                          last entry, or an error code (ERAR_BAD_DATA: encrypted headers and no
 *                          right password; the same call may be made again after RARSetPassword).
 *                          hd->ArcName is the volume that holds the entry, FileName the entry's path
 *                          with '/' separators; names longer than 259 bytes are cut (the entry is
 *                          still processed under its full name).
 *   RARProcessFile(h, op, DestPath, DestName)
 *                          op RAR_SKIP moves past the entry; RAR_EXTRACT writes it to DestName
 *                          (DestPath/FileName), creating folders as needed and replacing an existing
 *                          file. The entry is written only inside DestPath: a name that is absolute,
 *                          has a drive or UNC prefix or a ".." component, a DestName outside DestPath,
 *                          or a path through a symbolic link is refused with ERAR_ECREATE and nothing
 *                          is written. A file is written under a temporary name and moved into place
 *                          only when its CRC (or BLAKE2) checked out. A RAR 5 hard link or file copy
 *                          is made only to a file this handle extracted earlier into the same
 *                          DestPath (a hard link becomes a copy where the file system has none);
 *                          otherwise, and for a junction, ERAR_ECREATE. Codes: 0; ERAR_BAD_DATA
 *                          (encrypted and no right password, or a checksum error); ERAR_ECREATE (the
 *                          target cannot be created); ERAR_EWRITE; ERAR_EOPEN (a missing volume);
 *                          ERAR_UNKNOWN_FORMAT (what the engine cannot decode); the same call may be
 *                          repeated for the same entry after RARSetPassword or after the caller
 *                          cleared the target.
 *   RARCloseArchive(h)     0, or ERAR_ECLOSE. The handle is invalid afterwards.
 * A handle is used by one thread at a time; every call checks it: a null or closed handle gives
 * ERAR_ECLOSE from RARCloseArchive and ERAR_UNKNOWN from RARReadHeader and RARProcessFile, and
 * RARSetPassword ignores it. RARProcessFile before any header gives ERAR_BAD_ARCHIVE. A file split
 * over volumes is reported once, by the volume where it starts.
 */
#ifndef BRISKO_UNRAR_H
#define BRISKO_UNRAR_H

#ifdef __cplusplus
extern "C" {
#endif

#define ERAR_SUCCESS 0
#define ERAR_END_ARCHIVE 10
#define ERAR_NO_MEMORY 11
#define ERAR_BAD_DATA 12
#define ERAR_BAD_ARCHIVE 13
#define ERAR_UNKNOWN_FORMAT 14
#define ERAR_EOPEN 15
#define ERAR_ECREATE 16
#define ERAR_ECLOSE 17
#define ERAR_EREAD 18
#define ERAR_EWRITE 19
#define ERAR_SMALL_BUF 20
#define ERAR_UNKNOWN 21
#define ERAR_MISSING_PASSWORD 22
#define ERAR_EREFERENCE 23
#define ERAR_BAD_PASSWORD 24

#define RAR_OM_LIST 0
#define RAR_OM_EXTRACT 1

#define RAR_SKIP 0
#define RAR_TEST 1
#define RAR_EXTRACT 2

struct RARHeaderData {
    char ArcName[260];
    char FileName[260];
    unsigned int Flags;
    unsigned int PackSize; /* low 32 bits */
    unsigned int UnpSize;  /* low 32 bits */
    unsigned int HostOS;
    unsigned int FileCRC;
    unsigned int FileTime; /* DOS date and time */
    unsigned int UnpVer;
    unsigned int Method;
    unsigned int FileAttr;
    char* CmtBuf;
    unsigned int CmtBufSize;
    unsigned int CmtSize;
    unsigned int CmtState;
};

struct RAROpenArchiveData {
    char* ArcName;
    unsigned int OpenMode;
    unsigned int OpenResult;
    char* CmtBuf;
    unsigned int CmtBufSize;
    unsigned int CmtSize;
    unsigned int CmtState;
};

void* RAROpenArchive(struct RAROpenArchiveData* ArchiveData);
int RARCloseArchive(void* hArcData);
int RARReadHeader(void* hArcData, struct RARHeaderData* HeaderData);
int RARProcessFile(void* hArcData, int Operation, char* DestPath, char* DestName);
void RARSetPassword(void* hArcData, char* Password);

#ifdef __cplusplus
}
#endif

#endif
