#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "journal_record.h"

// Append-only segment files of the journal: written by SegmentWriter, read back whole by
// ReadSegment. Plain POSIX calls, so that an error is an errno the caller can name.
namespace journal {

struct SegmentRead {
    enum Status {
        kOk,
        kTornHeader,      // shorter than its header (a power cut right after it was made)
        kNotJournal,      // another magic: not ours
        kUnknownVersion,  // ours, of a format this build cannot read
        kUnreadable       // open or read failed (errno in `error`)
    };
    Status status = kOk;
    Tier tier = Tier::kRam;
    std::size_t valid_bytes = 0;    // header and whole records
    std::size_t skipped_bytes = 0;  // the torn or corrupt tail after them
    int error = 0;
};

// Calls `each(record, offset)` for every whole record in file order; stops at the first torn
// or corrupt one and counts the bytes from there to the end as skipped.
SegmentRead ReadSegment(const std::string& path,
                        const std::function<void(const Record&, std::size_t)>& each);

// Renames a file that must not be read again to "<path>.bad" (".bad.1", ... when taken);
// returns the new name, or an empty one (errno set) when the rename failed.
std::string SetAside(const std::string& path);

// The segment files of a folder ("<16 hex digits>.seg"), oldest first; other files are left
// alone. Empty with errno set when the folder cannot be read.
std::vector<std::string> ListSegments(const std::string& dir);
std::string SegmentName(uint64_t number);
// The number in a segment's name.
uint64_t SegmentNumber(const std::string& name);

// Makes `dir` and its parents; 0 or the errno.
int MakeDirs(const std::string& dir);

class SegmentWriter {
  public:
    SegmentWriter() = default;
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;
    ~SegmentWriter() { Close(); }

    // Makes a new file with the header; `sync` also syncs it and its folder. 0 or the errno.
    int Create(const std::string& path, Tier tier, bool sync);
    // Writes all of `bytes` at the end; on failure cuts the file back to where it was, so
    // that a half-written record is not left before later ones. 0 or the errno.
    int Append(const std::string& bytes);
    int Sync();
    void Close();

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    std::size_t Size() const { return size_; }

  private:
    int fd_ = -1;
    std::string path_;
    std::size_t size_ = 0;
};

}  // namespace journal
