#include "journal_segment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace journal {

namespace {

bool ReadAll(const std::string& path, std::string& out, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

int WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

int SyncDir(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int rc = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return rc;
}

}  // namespace

SegmentRead ReadSegment(const std::string& path,
                        const std::function<void(const Record&, std::size_t)>& each) {
    SegmentRead result;
    std::string data;
    if (!ReadAll(path, data, result.error)) {
        result.status = SegmentRead::kUnreadable;
        return result;
    }
    if (data.size() < kFileHeaderBytes) {
        // A prefix of our header (or nothing): the file was cut while it was being made.
        const std::string header = FileHeader(Tier::kRam);
        const std::size_t n = std::min(data.size(), sizeof(kMagic) + 1);
        if (data.compare(0, n, header, 0, n) == 0) {
            result.status = SegmentRead::kTornHeader;
            result.skipped_bytes = data.size();
        } else {
            result.status = SegmentRead::kNotJournal;
        }
        return result;
    }
    if (std::memcmp(data.data(), kMagic, sizeof(kMagic)) != 0) {
        result.status = SegmentRead::kNotJournal;
        return result;
    }
    const auto tier = static_cast<uint8_t>(data[5]);
    if (static_cast<uint8_t>(data[4]) != kVersion ||
        (tier != static_cast<uint8_t>(Tier::kRam) && tier != static_cast<uint8_t>(Tier::kFlash))) {
        result.status = SegmentRead::kUnknownVersion;
        return result;
    }
    result.tier = static_cast<Tier>(tier);
    std::size_t at = kFileHeaderBytes;
    Record record;
    while (at < data.size()) {
        std::size_t used = 0;
        if (ParseRecord(data.data() + at, data.size() - at, record, used) != Parse::kRecord)
            break;
        each(record, at);
        at += used;
    }
    result.valid_bytes = at;
    result.skipped_bytes = data.size() - at;
    return result;
}

std::string SetAside(const std::string& path) {
    std::string target = path + ".bad";
    struct stat st;
    for (int i = 1; ::lstat(target.c_str(), &st) == 0; ++i)
        target = path + ".bad." + std::to_string(i);
    if (::rename(path.c_str(), target.c_str()) != 0)
        return std::string();
    return target;
}

std::string SegmentName(uint64_t number) {
    char name[32];
    std::snprintf(name, sizeof(name), "%016" PRIx64 ".seg", number);
    return name;
}

uint64_t SegmentNumber(const std::string& name) {
    return std::strtoull(name.substr(0, 16).c_str(), nullptr, 16);
}

std::vector<std::string> ListSegments(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() == 20 && name.compare(16, 4, ".seg") == 0 &&
            name.find_first_not_of("0123456789abcdef") == 16) {
            names.push_back(name);
        }
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    errno = 0;
    return names;
}

int MakeDirs(const std::string& dir) {
    if (dir.empty())
        return ENOENT;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = dir.find('/', at + 1);
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int SegmentWriter::Create(const std::string& path, Tier tier, bool sync) {
    Close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    const std::string header = FileHeader(tier);
    int rc = WriteAll(fd, header.data(), header.size());
    if (rc == 0 && sync && ::fsync(fd) != 0)
        rc = errno;
    if (rc == 0 && sync)
        rc = SyncDir(path);
    if (rc != 0) {
        ::close(fd);
        ::unlink(path.c_str());
        return rc;
    }
    fd_ = fd;
    path_ = path;
    size_ = header.size();
    return 0;
}

int SegmentWriter::Append(const std::string& bytes) {
    if (fd_ < 0)
        return EBADF;
    const int rc = WriteAll(fd_, bytes.data(), bytes.size());
    if (rc != 0) {
        if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
            Close();  // the tail is torn; the next append goes to a new file
        }
        return rc;
    }
    size_ += bytes.size();
    return 0;
}

int SegmentWriter::Sync() {
    if (fd_ < 0)
        return EBADF;
    return ::fsync(fd_) == 0 ? 0 : errno;
}

void SegmentWriter::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    path_.clear();
    size_ = 0;
}

}  // namespace journal
