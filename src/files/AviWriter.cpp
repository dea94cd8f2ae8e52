#include "files/AviWriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <system_error>

#include "files/WriterKernels.h"
#include "imaging/Conversions.h"
#include "imaging/PixelOp.h"
#include "platform/Clock.h"

namespace veltcam {
namespace {

constexpr uint32_t kNominalRate = 3000;  // 30 frames per second, in hundredths
constexpr uint32_t kChunkHeaderBytes = 8;
constexpr uint32_t kIndexEntryBytes = 16;
constexpr uint32_t kKeyFrame = 0x10;
constexpr uint32_t kHasIndexWasCapture = 0x00010010;
constexpr size_t kMoviListOffset = 220;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
void PutId(uint8_t* p, const char (&id)[5]) { std::memcpy(p, id, 4); }

struct HeaderFields {
    int width = 0;
    int height = 0;
    uint32_t frameBytes = 0;
    uint32_t frames = 0;
    uint32_t rate = kNominalRate;  // hundredths of a frame per second
    uint32_t riffBytes = 0;
    uint32_t moviBytes = 0;
};

std::array<uint8_t, CAviWriter::kHeaderBytes> BuildHeader(const HeaderFields& f) {
    std::array<uint8_t, CAviWriter::kHeaderBytes> h{};
    uint8_t* p = h.data();
    const uint32_t suggestedBuffer = f.frameBytes + kChunkHeaderBytes;
    const uint64_t bytesPerSecond = uint64_t{suggestedBuffer} * 30;

    PutId(p + 0, "RIFF");
    Put32(p + 4, f.riffBytes);
    PutId(p + 8, "AVI ");
    PutId(p + 12, "LIST");
    Put32(p + 16, 200);
    PutId(p + 20, "hdrl");

    PutId(p + 24, "avih");
    Put32(p + 28, 56);
    Put32(p + 32, 100000000u / f.rate);  // microseconds per frame
    Put32(p + 36, static_cast<uint32_t>(
                      std::min<uint64_t>(bytesPerSecond, std::numeric_limits<uint32_t>::max())));
    Put32(p + 40, 0);  // padding granularity
    Put32(p + 44, kHasIndexWasCapture);
    Put32(p + 48, f.frames);
    Put32(p + 52, 0);  // initial frames
    Put32(p + 56, 1);  // streams
    Put32(p + 60, suggestedBuffer);
    Put32(p + 64, static_cast<uint32_t>(f.width));
    Put32(p + 68, static_cast<uint32_t>(f.height));
    // 72..87 reserved

    PutId(p + 88, "LIST");
    Put32(p + 92, 124);
    PutId(p + 96, "strl");
    PutId(p + 100, "strh");
    Put32(p + 104, 64);
    PutId(p + 108, "vids");
    PutId(p + 112, "DIB ");
    // 116 flags, 120 priority, 122 language, 124 initial frames: 0
    Put32(p + 128, 1000000000u / f.rate);  // scale: the rate below over it is the frame rate
    Put32(p + 132, 10000000);
    Put32(p + 136, 0);  // start
    Put32(p + 140, f.frames);
    Put32(p + 144, suggestedBuffer);
    // 148 quality, 152 sample size, 156..171 frame rectangle and 8 more bytes: 0

    PutId(p + 172, "strf");
    Put32(p + 176, 40);
    Put32(p + 180, 40);
    Put32(p + 184, static_cast<uint32_t>(f.width));
    Put32(p + 188, static_cast<uint32_t>(f.height));  // positive: rows bottom-up
    Put16(p + 192, 1);
    Put16(p + 194, 24);
    // 196..219 compression, image size, resolutions, colours: 0

    PutId(p + kMoviListOffset, "LIST");
    Put32(p + kMoviListOffset + 4, f.moviBytes);
    PutId(p + kMoviListOffset + 8, "movi");
    return h;
}

}  // namespace

CAviWriter::CAviWriter(int queueFrames, uint64_t maxFileBytes)
    : queueFrames_(std::max(queueFrames, 1)),
      maxFileBytes_(std::min(maxFileBytes, kMaxFileBytes)) {}

CAviWriter::~CAviWriter() {
    if (IsOpen()) Close(OwnRate());
}

uint64_t CAviWriter::FileBytesFor(uint64_t frames) const {
    return kHeaderBytes + frames * (kChunkHeaderBytes + frameBytes_) + kChunkHeaderBytes +
           frames * kIndexEntryBytes;
}

bool CAviWriter::Open(const char* path, int width, int height) {
    if (IsOpen()) Close(OwnRate());
    if (width <= 0 || height <= 0) return false;
    // Rows are stored as the 24-bit image holds them, padded to 4 bytes, which is
    // what readers of uncompressed bitmap frames expect.
    const uint64_t frameBytes = static_cast<uint64_t>(DibImage::RowBytesFor(width, 24)) * height;
    if (frameBytes + kChunkHeaderBytes > std::numeric_limits<uint32_t>::max()) return false;
    width_ = width;
    height_ = height;
    frameBytes_ = static_cast<uint32_t>(frameBytes);
    if (FileBytesFor(1) > maxFileBytes_) return false;

    slots_.clear();
    for (int i = 0; i < queueFrames_; ++i) {
        auto slot = std::make_unique<DibImage>();
        if (!slot->Create(width, height, 24)) break;
        slots_.push_back(std::move(slot));
    }
    if (slots_.empty() || !grey_.Create(width, height, 8)) {
        slots_.clear();
        return false;
    }

    HeaderFields fields;
    fields.width = width;
    fields.height = height;
    fields.frameBytes = frameBytes_;
    fields.riffBytes = kHeaderBytes - 8;
    fields.moviBytes = 4;
    const auto header = BuildHeader(fields);
    file_.SetStreaming(true);
    if (!file_.Open(path) || !file_.Write(header.data(), header.size())) {
        file_.Close();
        slots_.clear();
        grey_.Free();
        return false;
    }

    std::lock_guard<std::mutex> lock(lock_);
    queue_.clear();
    free_.clear();
    for (int i = 0; i < static_cast<int>(slots_.size()); ++i) free_.push_back(i);
    ended_ = finishRequested_ = finishedOk_ = failed_ = false;
    finishRate_ = 0;
    converting_ = 0;
    taken_ = written_ = dropped_ = 0;
    firstTickMs_ = lastTickMs_ = 0;
    try {
        writer_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        file_.Close();
        return false;
    }
    open_ = true;
    return true;
}

void CAviWriter::PrepareFrame(DibImage& slot, const DibImage& frame) {
    switch (frame.Bits()) {
        case 8:
            ApplyPixelOp(slot, writer_kernels::Gray8To24Flipped, frame, nullptr, 0, 0, nullptr);
            break;
        case 16:
            // The sensor's samples are left-aligned: the high byte is the 8-bit picture.
            ApplyPixelOp(grey_, conversions::MonoHighByte, frame, nullptr, 0, 0, nullptr);
            ApplyPixelOp(slot, writer_kernels::Gray8To24Flipped, grey_, nullptr, 0, 0, nullptr);
            break;
        case 24:
        case 32:
            ApplyPixelOp(slot, conversions::Color24CopyFlipped, frame, nullptr, 0, 0, nullptr);
            break;
        default:  // 48, 64
            ApplyPixelOp(slot, conversions::Color48HighBytesFlipped, frame, nullptr, 0, 0, nullptr);
            break;
    }
}

CAviWriter::FrameResult CAviWriter::WriteFrame(const DibImage& frame) {
    std::unique_lock<std::mutex> lock(lock_);
    if (!open_ || ended_) return FrameResult::kEnded;
    const int bits = frame.Bits();
    const bool knownBits =
        bits == 8 || bits == 16 || bits == 24 || bits == 32 || bits == 48 || bits == 64;
    if (!frame.IsValid() || frame.Width() != width_ || frame.Height() != height_ || !knownBits) {
        ++dropped_;
        return FrameResult::kDropped;
    }
    if (FileBytesFor(uint64_t{taken_} + 1) > maxFileBytes_) {
        // The recording ends with the frames the file can still describe.
        ended_ = true;
        return FrameResult::kEnded;
    }
    if (free_.empty()) {
        ++dropped_;
        return FrameResult::kDropped;
    }
    const int slot = free_.back();
    free_.pop_back();
    ++taken_;
    ++converting_;
    const uint32_t now = platform::TickMs();
    if (taken_ == 1) firstTickMs_ = now;
    lastTickMs_ = now;
    lock.unlock();

    // The conversion is the only work done on the caller's time (and under its
    // image lock); the writer thread never touches a slot before it is queued.
    PrepareFrame(*slots_[slot], frame);

    lock.lock();
    --converting_;
    if (failed_) {
        free_.push_back(slot);
        changed_.notify_all();
        return FrameResult::kEnded;
    }
    queue_.push_back(slot);
    changed_.notify_all();
    return FrameResult::kQueued;
}

bool CAviWriter::WriteChunk(const DibImage& frame) {
    uint8_t header[kChunkHeaderBytes];
    PutId(header, "00db");
    Put32(header + 4, frameBytes_);
    return file_.Write(header, sizeof header) && file_.Write(frame.Pixels(), frameBytes_);
}

void CAviWriter::Run() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        changed_.wait(lock,
                      [this] { return !queue_.empty() || (finishRequested_ && converting_ == 0); });
        if (queue_.empty()) {
            const uint32_t rate = finishRate_;
            lock.unlock();
            const bool ok = FinishFile(rate);
            lock.lock();
            finishedOk_ = ok;
            return;
        }
        const int slot = queue_.front();
        queue_.pop_front();
        lock.unlock();
        const bool ok = WriteChunk(*slots_[slot]);
        lock.lock();
        free_.push_back(slot);
        if (ok) {
            ++written_;
            continue;
        }
        // A full disk or a lost drive: the recording ends here, and the file keeps
        // every frame that reached it completely, with its index.
        failed_ = true;
        ended_ = true;
        for (int s : queue_) free_.push_back(s);
        queue_.clear();
        const uint32_t rate = OwnRateLocked();
        lock.unlock();
        FinishFile(rate);
        lock.lock();
        finishedOk_ = false;
        return;
    }
}

bool CAviWriter::FinishFile(uint32_t rateHundredths) {
    uint32_t frames;
    {
        std::lock_guard<std::mutex> lock(lock_);
        frames = written_;
    }
    const uint64_t framesEnd = kHeaderBytes + uint64_t{frames} * (kChunkHeaderBytes + frameBytes_);
    // After a failed write part of a frame may follow the last complete one.
    bool ok = file_.Seek(framesEnd) && file_.Truncate();

    std::vector<uint8_t> index(kChunkHeaderBytes + size_t{frames} * kIndexEntryBytes);
    PutId(index.data(), "idx1");
    Put32(index.data() + 4, frames * kIndexEntryBytes);
    for (uint32_t i = 0; i < frames; ++i) {
        uint8_t* entry = index.data() + kChunkHeaderBytes + size_t{i} * kIndexEntryBytes;
        PutId(entry, "00db");
        Put32(entry + 4, kKeyFrame);
        // From the "movi" identifier: the first chunk is at 4.
        Put32(entry + 8, 4 + i * (kChunkHeaderBytes + frameBytes_));
        Put32(entry + 12, frameBytes_);
    }
    ok = ok && file_.Write(index.data(), index.size());

    HeaderFields fields;
    fields.width = width_;
    fields.height = height_;
    fields.frameBytes = frameBytes_;
    fields.frames = frames;
    fields.rate = std::max<uint32_t>(rateHundredths, 1);
    fields.riffBytes = static_cast<uint32_t>(framesEnd + index.size() - 8);
    fields.moviBytes =
        static_cast<uint32_t>(4 + uint64_t{frames} * (kChunkHeaderBytes + frameBytes_));
    const auto header = BuildHeader(fields);
    ok = ok && file_.Seek(0) && file_.Write(header.data(), header.size());
    return file_.Close() && ok;
}

bool CAviWriter::Close(uint32_t rateHundredths) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!open_) return false;
        ended_ = true;
        finishRequested_ = true;
        finishRate_ = rateHundredths;
        changed_.notify_all();
    }
    writer_.join();
    bool ok;
    {
        std::lock_guard<std::mutex> lock(lock_);
        open_ = false;
        ok = finishedOk_ && !failed_;
        queue_.clear();
        free_.clear();
    }
    slots_.clear();
    grey_.Free();
    return ok;
}

uint32_t CAviWriter::OwnRate() const {
    std::lock_guard<std::mutex> lock(lock_);
    return OwnRateLocked();
}

uint32_t CAviWriter::OwnRateLocked() const {
    const uint32_t elapsed = lastTickMs_ - firstTickMs_;
    if (taken_ == 0 || elapsed == 0) return kNominalRate;
    return static_cast<uint32_t>(std::max<uint64_t>(uint64_t{taken_} * 100000 / elapsed, 1));
}

bool CAviWriter::IsOpen() const {
    std::lock_guard<std::mutex> lock(lock_);
    return open_;
}

uint32_t CAviWriter::FrameCount() const {
    std::lock_guard<std::mutex> lock(lock_);
    return taken_;
}

uint32_t CAviWriter::DroppedFrames() const {
    std::lock_guard<std::mutex> lock(lock_);
    return dropped_;
}

bool CAviWriter::WriteFailed() const {
    std::lock_guard<std::mutex> lock(lock_);
    return failed_;
}

}  // namespace veltcam
