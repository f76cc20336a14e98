/*
 * The ACE engine's published interface, in the same open / read header / process / close pattern as
 * the RAR engine's. Plain C; records laid out naturally for a 64-bit system (sizes and offsets are
 * checked by static assertions in the engine). All text is UTF-8, zero-terminated.
 *
 *   ACEOpenArchive(data)   data->ArcName is the archive (the first volume of a set, name.ace; later
 *                          volumes are name.c00, name.c01, ...); OpenMode must be ACE_OPEN_EXTRACT.
 *                          Returns a handle, or null with OpenResult set to a code below (0 = opened).
 *   ACESetPassword(h, pw)  the password for encrypted entries; it holds for the rest of this handle.
 *   ACEReadHeader(h, hd)   0 with the next entry's header in hd, ACE_END after the last entry, or an
 *                          error code. hd->ArcName is the volume that holds the start of the entry,
 *                          FileName the entry's stored path with '/' separators (cut at 259 bytes).
 *                          FileCRC is the standard CRC-32 of the data (the archive stores it
 *                          inverted), Flags the raw file header flags; no comments (CmtState 0).
 *   ACEProcessFile(h, op, DestFolder)
 *                          op ACE_EXTRACT writes the entry below DestFolder under its stored path,
 *                          creating folders as needed; an existing file is replaced. The entry is
 *                          written only inside DestFolder: an unsafe name (absolute, drive or UNC
 *                          prefix, "..") or a path through a symbolic link is refused with
 *                          ACE_ERR_CREATE and nothing is written. A file is written under a temporary
 *                          name and moved into place only when its CRC checked out.
 *   ACECloseArchive(h)     0. The handle is invalid afterwards.
 *
 * Codes: 0 done; ACE_ERR_MEMORY, ACE_ERR_DAMAGED (corrupt or truncated data, a CRC error),
 * ACE_ERR_OPEN (an archive or volume that cannot be opened), ACE_ERR_WRITE, ACE_ERR_UNSUPPORTED,
 * ACE_ERR_HANDLE end the archive as failed; ACE_END ends it as finished; ACE_ERR_CREATE: the target
 * cannot be created (the caller may clear it and repeat the call); ACE_ERR_PASSWORD: the entry is
 * encrypted and the password is missing or wrong (the caller may set one and repeat the call).
 */
#ifndef BRISKO_UNACE_H
#define BRISKO_UNACE_H

#ifdef __cplusplus
extern "C" {
#endif

#define ACE_OPEN_EXTRACT 1
#define ACE_EXTRACT 2

#define ACE_SUCCESS 0
#define ACE_ERR_MEMORY 1
#define ACE_ERR_DAMAGED 3
#define ACE_ERR_OPEN 5
#define ACE_ERR_WRITE 6
#define ACE_ERR_UNSUPPORTED 7
#define ACE_ERR_HANDLE 9
#define ACE_END 10
#define ACE_ERR_CREATE 11
#define ACE_ERR_PASSWORD 131

struct AceOpenRecord {
    char* ArcName;
    unsigned int OpenMode;
    unsigned int OpenResult;
    unsigned int Flags;
    unsigned int Reserved;
    char Signature[51];
    char* CmtBuf;
    unsigned int CmtBufSize;
    unsigned int CmtSize;
    unsigned int CmtState;
    unsigned int Reserved2[2];
};

struct AceHeaderRecord {
    char ArcName[260];
    char FileName[260];
    unsigned int Flags;
    unsigned int PackSize; /* low 32 bits */
    unsigned int UnpSize;  /* low 32 bits */
    unsigned int HostOS;
    unsigned int FileCRC;
    unsigned int FileTime; /* DOS date and time */
    unsigned int Method;
    unsigned int FileAttr;
    char* CmtBuf;
    unsigned int CmtBufSize;
    unsigned int CmtSize;
    unsigned int CmtState;
};

void* ACEOpenArchive(struct AceOpenRecord* ArchiveData);
int ACECloseArchive(void* hArcData);
int ACEReadHeader(void* hArcData, struct AceHeaderRecord* HeaderData);
int ACEProcessFile(void* hArcData, int Operation, char* DestFolder);
void ACESetPassword(void* hArcData, char* Password);

#ifdef __cplusplus
}
#endif

#endif
