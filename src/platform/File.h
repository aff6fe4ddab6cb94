// Files as the send queue reads them: the abstract CFile and the disk file opened for reading.
//
// Failures are reported, never thrown: an operation that can fail returns a
// BOOL or a count and keeps a Win32 error code (2 file not found, 5 access
// denied, 32 sharing violation, ...) for the caller to read.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

typedef std::uint64_t ULONGLONG;
typedef std::int64_t LONGLONG;

class CFile {
  public:
    enum SeekPosition { begin = 0, current = 1, end = 2 };

    CFile() = default;
    virtual ~CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Reads up to `count` bytes at the file position and advances it. Returns
    // the number of bytes read: fewer than `count` only at the end of the
    // file (0 once the end is reached) or when the read failed. After a read
    // that returned fewer bytes than asked, Failed() tells the two apart.
    virtual UINT Read(void* buffer, UINT count) = 0;
    // True when the last Read failed (its count then holds the bytes read
    // before the failure; a closed file fails with ERROR_INVALID_HANDLE);
    // ErrorCode() gives the Win32 code. Each Read resets it.
    bool Failed() const { return m_dwError != 0; }
    DWORD ErrorCode() const { return m_dwError; }

    // Sets the position to `offset` from `from` and returns the new position;
    // a position before the start is refused (the position stays, the result
    // is the unchanged position).
    virtual ULONGLONG Seek(LONGLONG offset, UINT from) = 0;
    void SeekToBegin() { Seek(0, begin); }
    virtual ULONGLONG GetLength() const = 0;
    // The file's name without its folder; empty for an in-memory file.
    virtual std::wstring GetFileName() const = 0;
    // Appends GetFileName()'s text to `out`: kept names are copied without
    // a string of their own, so a reused `out` allocates nothing.
    virtual void AppendFileName(std::wstring& out) const { out += GetFileName(); }
    // Releases the file. Closing twice does nothing.
    virtual void Close() = 0;

  protected:
    DWORD m_dwError = 0;
};

// What tells one content of a regular file from another without reading it:
// the file's identity on its volume, its size, and its modification and
// change times. The change time cannot be set by programs, so a file whose
// stamp is unchanged and whose change time lay in the past when it was read
// still holds the bytes read then.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;  // nanoseconds since 1970, as the system clock counts

    bool SameContentAs(const FileStamp& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedNs == other.modifiedNs && changedNs == other.changedNs;
    }
};

// A file on disk, open for reading with deny-write sharing: other processes
// may read it while it is open, none may write it (Windows: share-read only).
// POSIX has no mandatory sharing modes: there the file is opened read-only,
// and other processes can still write it.
// Only regular files open: folders, devices, pipes and sockets are refused
// without being opened (so opening a device name can never hang or act).
class CDiskFile final : public CFile {
  public:
    CDiskFile() = default;
    ~CDiskFile() override;

    // Opens `path` for reading. FALSE with the Win32 code in `error` (when
    // given) on failure: 2 missing, 3 folder missing, 5 a folder or other
    // non-regular file or no permission, 32 (Windows) open for writing by
    // another process.
    BOOL Open(const std::wstring& path, DWORD* error = nullptr);
    bool IsOpen() const;

    UINT Read(void* buffer, UINT count) override;
    ULONGLONG Seek(LONGLONG offset, UINT from) override;
    ULONGLONG GetLength() const override;
    // The length the file had when Open checked it (taken from the same
    // look at the opened file, so it costs nothing more); 0 when closed.
    ULONGLONG GetLengthAtOpen() const { return m_hFile == -1 ? 0 : m_nLengthAtOpen; }
    std::wstring GetFileName() const override;
    void AppendFileName(std::wstring& out) const override;
    void Close() override;

    // The platform's handle (POSIX descriptor, Windows HANDLE), -1 when
    // closed: for sending the file's bytes without reading them (CAsyncSocket::SendFileBytes).
    std::intptr_t NativeHandle() const { return m_hFile; }
    // The open file's stamp (see FileStamp); false when closed or where
    // the platform cannot tell.
    bool GetStamp(FileStamp& stamp) const;

  private:
    std::intptr_t m_hFile = -1;  // POSIX descriptor or Windows HANDLE; -1 when closed
    ULONGLONG m_nLengthAtOpen = 0;
    std::wstring m_strPath;
};

namespace plat {

// The stamp of the regular file at `path` (following links), with one look
// at the file system. False when it is missing, not a regular file, or the
// platform has no such stamp (Windows: callers then open the file as usual).
bool QueryRegularFileStamp(const std::wstring& path, FileStamp& stamp);

}  // namespace plat
