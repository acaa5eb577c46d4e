#include "journal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "log.h"
#include "report_batch.h"

using namespace journal;

namespace {

constexpr auto kRamRetry = std::chrono::seconds(5);

std::string SamplePayload(const std::string& device_id, const std::string& sensor_type,
                          const std::string& text) {
    std::string p(1, kSampleKind);
    PutVarint(p, device_id.size());
    p += device_id;
    PutVarint(p, sensor_type.size());
    p += sensor_type;
    p += text;
    return p;
}

bool ParseSample(const std::string& payload, BlockSample& s) {
    const char* p = payload.data() + 1;
    const char* end = payload.data() + payload.size();
    uint64_t n = 0;
    if (!GetVarint(p, end, n) || n > static_cast<uint64_t>(end - p))
        return false;
    s.device_id.assign(p, n);
    p += n;
    if (!GetVarint(p, end, n) || n > static_cast<uint64_t>(end - p))
        return false;
    s.sensor_type.assign(p, n);
    p += n;
    s.text.assign(p, end);
    return true;
}

std::string Mark(uint64_t seq) {
    std::string p(1, kAckKind);
    PutU64(p, seq);
    return p;
}

}  // namespace

Journal::Journal(Options options, UnixClock unixNow)
    : options_(std::move(options)), unix_now_(std::move(unixNow)) {}

uint64_t Journal::Open(const KeepFn& keep) {
    std::vector<BlockSample> replayed;
    const uint64_t next = Read(replayed);
    // Outside the lock: `keep` takes the store's.
    for (const auto& s : replayed)
        keep(s.device_id, s.sensor_type, Sample{s.seq, s.text});
    return next;
}

uint64_t Journal::Read(std::vector<BlockSample>& replayed) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t maxSeq = 0;
    // The flash folder is made by the first spill, not here: flash sees no write until then.
    if (HasFlashTier())
        ReadFlash(maxSeq);
    const uint64_t flashLast = maxSeq;
    if (const int e = MakeDirs(options_.ram_dir))
        Fault("RAM", "folder " + options_.ram_dir, e);
    else
        ReadRam(flashLast, maxSeq, replayed);
    const int64_t now = unix_now_();
    const uint64_t floor = now > 0 ? static_cast<uint64_t>(now) * 1000000u : 0;
    return std::max(maxSeq + 1, floor);
}

bool Journal::Check(const std::string& tier, const std::string& path, const SegmentRead& r) {
    switch (r.status) {
        case SegmentRead::kOk:
            if (r.skipped_bytes > 0) {
                LOGW << "journal: " << path << " : torn or corrupt tail, " << r.skipped_bytes
                     << " bytes skipped";
            }
            return true;
        case SegmentRead::kTornHeader:
            // Nothing was ever written in it: cut while it was being made.
            LOGW << "journal: " << path << " : torn header, " << r.skipped_bytes
                 << " bytes skipped";
            ::unlink(path.c_str());
            return false;
        case SegmentRead::kNotJournal:
        case SegmentRead::kUnknownVersion: {
            const std::string aside = SetAside(path);
            LOGE << "journal: " << path << " : "
                 << (r.status == SegmentRead::kNotJournal ? "not a journal file"
                                                          : "unknown format version")
                 << ", "
                 << (aside.empty() ? "left in place (" + std::string(std::strerror(errno)) + ")"
                                   : "moved to " + aside);
            return false;
        }
        case SegmentRead::kUnreadable:
            LOGE << "journal: " << tier << " " << path << " : " << std::strerror(r.error);
            return false;
    }
    return false;
}

void Journal::ReadFlash(uint64_t& maxSeq) {
    std::vector<Block> all;
    uint64_t acked = 0;
    const auto names = ListSegments(options_.store_dir);
    if (names.empty() && errno != 0 && errno != ENOENT)
        Fault("flash", "store_dir " + options_.store_dir, errno);
    for (const std::string& name : names) {
        next_file_ = std::max(next_file_, SegmentNumber(name) + 1);
        const std::string path = FlashPath(name);
        FlashFile file{name, 0, 0, 0};
        const SegmentRead r = ReadSegment(path, [&](const Record& rec, std::size_t offset) {
            if (rec.payload.empty())
                return;
            if (rec.payload[0] == kBlockKind) {
                BlockInfo info;
                if (!PeekBlock(rec.payload, info) || info.count == 0 || info.last_seq < rec.seq)
                    return;
                // A block written again after a failed sync is a copy: keep the first.
                if (!all.empty() && rec.seq <= all.back().last)
                    return;
                all.push_back({name, offset, rec.seq, info.last_seq, info.count, info.unix_time});
                file.last = std::max(file.last, info.last_seq);
                file.unix_time = std::max(file.unix_time, info.unix_time);
                maxSeq = std::max(maxSeq, info.last_seq);
            } else if (rec.payload[0] == kAckKind && rec.payload.size() == 9) {
                acked = std::max(acked, GetU64(rec.payload.data() + 1));
            }
        });
        if (!Check("flash", path, r))
            continue;
        file.bytes = r.valid_bytes + r.skipped_bytes;
        flash_files_.push_back(file);
    }
    flash_gone_ = flash_gone_written_ = acked;
    maxSeq = std::max(maxSeq, acked);
    for (const Block& b : all) {
        if (b.last <= acked)
            continue;
        blocks_.push_back(b);
        uint64_t live = b.count;
        if (b.first <= acked) {
            // Partly delivered: count what is left.
            std::vector<BlockSample> samples;
            std::string payload;
            ReadSegment(FlashPath(b.file), [&](const Record& rec, std::size_t offset) {
                if (offset == b.offset && DecodeBlock(rec.payload, rec.seq, samples))
                    live = static_cast<uint64_t>(
                        std::count_if(samples.begin(), samples.end(),
                                      [&](const auto& s) { return s.seq > acked; }));
            });
        }
        flash_live_ += live;
    }
    DeleteDeliveredFlash();
    if (flash_live_ > 0)
        LOGI << "journal: " << flash_live_ << " samples in " << options_.store_dir;
}

void Journal::ReadRam(uint64_t flashLast, uint64_t& maxSeq, std::vector<BlockSample>& replayed) {
    std::vector<BlockSample> samples;
    std::optional<InFlight> batch;
    uint64_t gone = 0;
    for (const std::string& name : ListSegments(options_.ram_dir)) {
        next_file_ = std::max(next_file_, SegmentNumber(name) + 1);
        const std::string path = RamPath(name);
        RamFile file{name, 0, 0};
        const SegmentRead r = ReadSegment(path, [&](const Record& rec, std::size_t) {
            if (rec.payload.empty())
                return;
            maxSeq = std::max(maxSeq, rec.seq);
            file.last = std::max(file.last, rec.seq);
            if (rec.payload[0] == kSampleKind) {
                BlockSample s;
                s.seq = rec.seq;
                if (ParseSample(rec.payload, s))
                    samples.push_back(std::move(s));
            } else if (rec.payload[0] == kAckKind && rec.payload.size() == 9) {
                gone = std::max(gone, GetU64(rec.payload.data() + 1));
            } else if (rec.payload[0] == kBatchKind && rec.payload.size() == 21) {
                batch = InFlight{GetU64(rec.payload.data() + 1), GetU64(rec.payload.data() + 9),
                                 GetU32(rec.payload.data() + 17)};
            }
        });
        if (!Check("RAM", path, r))
            continue;
        file.bytes = r.valid_bytes + r.skipped_bytes;
        ram_files_.push_back(file);
    }
    gone = std::max(gone, flashLast);
    std::sort(samples.begin(), samples.end(),
              [](const auto& a, const auto& b) { return a.seq < b.seq; });
    uint64_t kept = 0;
    uint64_t previous = 0;
    for (const auto& s : samples) {
        if (s.seq <= gone || s.seq == previous)
            continue;
        previous = s.seq;
        replayed.push_back(s);
        ++kept;
    }
    if (batch && batch->last > gone)
        replayed_in_flight_ = batch;
    ram_gone_ = gone;
    last_appended_ = maxSeq;
    if (kept > 0)
        LOGI << "journal: " << kept << " samples in " << options_.ram_dir;
}

void Journal::Fault(const char* tier, const std::string& what, int error) {
    bool& failing = std::strcmp(tier, "flash") == 0 ? flash_failing_ : ram_failing_;
    if (failing)
        return;
    failing = true;
    LOGE << "journal: " << tier << " tier: " << what << " : " << std::strerror(error)
         << "; samples kept in memory, tried again later";
}

void Journal::Healed(const char* tier) {
    bool& failing = std::strcmp(tier, "flash") == 0 ? flash_failing_ : ram_failing_;
    if (!failing)
        return;
    failing = false;
    LOGI << "journal: " << tier << " tier written again";
}

uint64_t Journal::NextFileNumber() {
    return next_file_++;
}

bool Journal::AppendRam(uint64_t seq, const std::string& payload) {
    if (options_.ram_dir.empty())
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (!ram_writer_.IsOpen() || ram_writer_.Size() >= options_.ram_segment_bytes) {
        if (ram_failing_ && now < ram_retry_)
            return false;
        ram_writer_.Close();
        const std::string name = SegmentName(NextFileNumber());
        int e = MakeDirs(options_.ram_dir);
        if (e == 0)
            e = ram_writer_.Create(RamPath(name), Tier::kRam, false);
        if (e != 0) {
            Fault("RAM", "cannot make " + RamPath(name), e);
            ram_retry_ = now + kRamRetry;
            return false;
        }
        ram_files_.push_back({name, ram_writer_.Size(), 0});
        ram_bytes_written_ += ram_writer_.Size();
    }
    std::string bytes;
    AppendRecord(bytes, seq, payload);
    if (const int e = ram_writer_.Append(bytes)) {
        Fault("RAM", "cannot write " + ram_writer_.Path(), e);
        ram_writer_.Close();
        ram_retry_ = now + kRamRetry;
        return false;
    }
    Healed("RAM");
    ram_bytes_written_ += bytes.size();
    ram_files_.back().bytes = ram_writer_.Size();
    ram_files_.back().last = std::max(ram_files_.back().last, seq);
    return true;
}

void Journal::Append(const std::string& device_id, const std::string& sensor_type,
                     const Sample& sample) {
    std::lock_guard<std::mutex> lock(mutex_);
    AppendRam(sample.seq, SamplePayload(device_id, sensor_type, sample.text));
    last_appended_ = std::max(last_appended_, sample.seq);
}

void Journal::MemoryInFlight(const InFlight& batch) {
    std::string p(1, kBatchKind);
    PutU64(p, batch.first);
    PutU64(p, batch.last);
    PutU32(p, batch.count);
    std::lock_guard<std::mutex> lock(mutex_);
    AppendRam(batch.last, p);
}

void Journal::MemoryGone(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A sample taken by the store but not appended yet is not gone.
    seq = std::min(seq, last_appended_);
    if (seq <= ram_gone_)
        return;
    ram_gone_ = seq;
    AppendRam(seq, Mark(seq));
    const std::string open = ram_writer_.Path();
    for (auto it = ram_files_.begin(); it != ram_files_.end();) {
        const std::string path = RamPath(it->name);
        if (it->last <= ram_gone_ && path != open) {
            ::unlink(path.c_str());
            it = ram_files_.erase(it);
        } else {
            ++it;
        }
    }
}

uint64_t Journal::FlashSamples() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_live_;
}

int64_t Journal::FlashOldestTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.empty() ? 0 : blocks_.front().unix_time;
}

std::vector<BlockSample> Journal::FlashBatch(std::size_t maxSamples, std::size_t maxBytes,
                                             const CostFn& cost) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!blocks_.empty()) {
        const Block& b = blocks_.front();
        if (cached_block_ != b.offset || cached_first_ != b.first) {
            cached_samples_.clear();
            bool decoded = false;
            const SegmentRead r =
                ReadSegment(FlashPath(b.file), [&](const Record& rec, std::size_t offset) {
                    if (offset == b.offset)
                        decoded = DecodeBlock(rec.payload, rec.seq, cached_samples_);
                });
            if (!decoded) {
                LOGE << "journal: " << FlashPath(b.file) << " : block at " << b.offset
                     << " unreadable ("
                     << (r.status == SegmentRead::kUnreadable ? std::strerror(r.error) : "damaged")
                     << "), " << b.count << " samples dropped";
                dropped_ += b.count;
                flash_live_ -= std::min<uint64_t>(flash_live_, b.count);
                blocks_.erase(blocks_.begin());
                cached_block_ = SIZE_MAX;
                continue;
            }
            cached_block_ = b.offset;
            cached_first_ = b.first;
        }
        // Bodies are cut from the start of the block every time: the same cut after a restart.
        std::vector<BlockSample> body;
        std::set<std::string> devices;
        std::size_t bytes = ReportBatch::kEnvelopeBytes;
        for (const auto& s : cached_samples_) {
            bool newDevice = devices.count(s.device_id) == 0;
            std::size_t c = cost(s, newDevice);
            if (!body.empty() && (body.size() >= maxSamples || bytes + c > maxBytes)) {
                if (body.back().seq > flash_gone_)
                    break;
                body.clear();
                devices.clear();
                bytes = ReportBatch::kEnvelopeBytes;
                newDevice = true;
                c = cost(s, true);
            }
            body.push_back(s);
            devices.insert(s.device_id);
            bytes += c;
        }
        body.erase(std::remove_if(body.begin(), body.end(),
                                  [this](const auto& s) { return s.seq <= flash_gone_; }),
                   body.end());
        if (!body.empty())
            return body;
        blocks_.erase(blocks_.begin());  // delivered through a mark read at start
    }
    return {};
}

void Journal::FlashGone(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (seq <= flash_gone_)
        return;
    uint64_t gone = 0;
    for (const Block& b : blocks_) {
        if (b.first > seq)
            break;
        if (b.first > flash_gone_ && b.last <= seq) {
            gone += b.count;
        } else if (cached_block_ == b.offset && cached_first_ == b.first) {
            gone += static_cast<uint64_t>(
                std::count_if(cached_samples_.begin(), cached_samples_.end(),
                              [&](const auto& s) { return s.seq > flash_gone_ && s.seq <= seq; }));
        }
    }
    flash_live_ -= std::min(flash_live_, gone);
    flash_gone_ = seq;
    while (!blocks_.empty() && blocks_.front().last <= flash_gone_)
        blocks_.erase(blocks_.begin());
    if (blocks_.empty())
        flash_live_ = 0;
    DeleteDeliveredFlash();
}

void Journal::DeleteDeliveredFlash() {
    for (std::size_t i = 0; i < flash_files_.size();) {
        const auto& f = flash_files_[i];
        const bool live = std::any_of(blocks_.begin(), blocks_.end(),
                                      [&](const Block& b) { return b.file == f.name; });
        if (!live && f.last <= flash_gone_) {
            const std::string path = FlashPath(f.name);
            if (path == flash_writer_.Path())
                flash_writer_.Close();
            ::unlink(path.c_str());
            flash_files_.erase(flash_files_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void Journal::DropFlashFile(std::size_t index, const char* why) {
    const FlashFile f = flash_files_[index];
    uint64_t lost = 0;
    for (auto it = blocks_.begin(); it != blocks_.end();) {
        if (it->file == f.name) {
            lost += it->count;
            it = blocks_.erase(it);
        } else {
            ++it;
        }
    }
    if (cached_block_ != SIZE_MAX)
        cached_block_ = SIZE_MAX;
    const std::string path = FlashPath(f.name);
    if (path == flash_writer_.Path())
        flash_writer_.Close();
    ::unlink(path.c_str());
    flash_files_.erase(flash_files_.begin() + static_cast<std::ptrdiff_t>(index));
    lost = std::min(lost, flash_live_);
    flash_live_ -= lost;
    dropped_ += lost;
    LOGV << "journal: " << path << " dropped (" << why << "), " << lost << " samples";
}

bool Journal::WriteFlash(const std::string& bytes) {
    if (const int e = MakeDirs(options_.store_dir)) {
        Fault("flash", "store_dir " + options_.store_dir, e);
        return false;
    }
    if (!flash_writer_.IsOpen() || flash_writer_.Size() >= options_.flash_segment_bytes) {
        flash_writer_.Close();
        const std::string name = SegmentName(NextFileNumber());
        if (const int e = flash_writer_.Create(FlashPath(name), Tier::kFlash, true)) {
            Fault("flash", "cannot make " + FlashPath(name), e);
            return false;
        }
        flash_files_.push_back({name, flash_writer_.Size(), 0, 0});
        flash_bytes_written_ += flash_writer_.Size();
    }
    int e = flash_writer_.Append(bytes);
    if (e == 0)
        e = flash_writer_.Sync();
    if (e != 0) {
        Fault("flash", "cannot write " + flash_writer_.Path(), e);
        flash_writer_.Close();  // what reached the file is unknown: the next write takes a new one
        return false;
    }
    Healed("flash");
    flash_bytes_written_ += bytes.size();
    flash_files_.back().bytes = flash_writer_.Size();
    return true;
}

bool Journal::Spill(const std::vector<std::vector<BlockSample>>& blocks) {
    if (!HasFlashTier())
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = unix_now_();
    std::string bytes;
    std::vector<Block> added;
    for (const auto& samples : blocks) {
        if (samples.empty())
            continue;
        const std::size_t at = bytes.size();
        AppendRecord(bytes, samples.front().seq, EncodeBlock(samples, now));
        added.push_back({"", at, samples.front().seq, samples.back().seq,
                         static_cast<uint32_t>(samples.size()), now});
    }
    if (added.empty())
        return true;
    // The oldest go first to make room.
    uint64_t total = 0;
    for (const auto& f : flash_files_)
        total += f.bytes;
    while (!flash_files_.empty() && total + bytes.size() > options_.store_max_bytes) {
        total -= flash_files_.front().bytes;
        DropFlashFile(0, "store_max_kb");
    }
    if (!WriteFlash(bytes))
        return false;
    const std::size_t base = flash_writer_.Size() - bytes.size();
    FlashFile& file = flash_files_.back();
    for (auto& b : added) {
        b.file = file.name;
        b.offset += base;
        file.last = std::max(file.last, b.last);
        file.unix_time = now;
        flash_live_ += b.count;
        blocks_.push_back(b);
    }
    return true;
}

bool Journal::Maintain(bool syncDue) {
    if (!HasFlashTier())
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = unix_now_();
    while (!flash_files_.empty() && options_.store_max_age > 0 && now > 0 &&
           flash_files_.front().unix_time > 0 &&
           flash_files_.front().unix_time < now - options_.store_max_age) {
        DropFlashFile(0, "store_max_age");
    }
    uint64_t total = 0;
    for (const auto& f : flash_files_)
        total += f.bytes;
    while (flash_files_.size() > 1 && total > options_.store_max_bytes) {
        total -= flash_files_.front().bytes;
        DropFlashFile(0, "store_max_kb");
    }
    if (syncDue && flash_gone_ > flash_gone_written_ && !blocks_.empty()) {
        std::string bytes;
        AppendRecord(bytes, flash_gone_, Mark(flash_gone_));
        if (WriteFlash(bytes)) {
            flash_gone_written_ = flash_gone_;
            return true;
        }
    }
    return false;
}

uint64_t Journal::TakeDropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(dropped_, 0);
}

uint64_t Journal::RamBytesWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ram_bytes_written_;
}

uint64_t Journal::FlashBytesWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_bytes_written_;
}
