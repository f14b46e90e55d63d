// Stepwise compression of one file into a standard gzip file.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "foldex.h"

namespace {

// How much of the source one read takes at most, whatever the step size.
constexpr size_t kReadPiece = 64 * 1024;
// The output buffer that deflate fills before it is written out.
constexpr size_t kWritePiece = 64 * 1024;
// Window bits 15 plus 16 make deflate write a gzip header and trailer.
constexpr int kGzipWindowBits = 15 + 16;

class GzipFileOp {
public:
    GzipFileOp(const char *source, const char *target, int level)
        : source_(source), target_(target),
          level_(level >= 1 && level <= 9 ? level : Z_DEFAULT_COMPRESSION) {}

    ~GzipFileOp() { release(); }

    GzipFileOp(const GzipFileOp &) = delete;
    GzipFileOp &operator=(const GzipFileOp &) = delete;

    int step(size_t step_bytes) {
        if (state_ == State::complete)
            return 0;
        if (state_ == State::failed)
            return failure_;
        if (state_ == State::fresh && !start())
            return failure_;

        bool at_end = false;
        size_t done = 0;
        while (done < step_bytes && !at_end) {
            const size_t want = std::min(step_bytes - done, in_buffer_.size());
            const size_t got = std::fread(in_buffer_.data(), 1, want, in_);
            if (got < want) {
                if (std::ferror(in_))
                    return fail_reading(errno);
                at_end = true;
            }
            done += got;
            if (!compress(in_buffer_.data(), got, Z_NO_FLUSH))
                return failure_;
        }
        // A step that has read the last byte also finishes the image, so a
        // file of k full steps takes k calls and an empty file takes one.
        if (!at_end) {
            const int next = std::getc(in_);
            if (next == EOF) {
                if (std::ferror(in_))
                    return fail_reading(errno);
                at_end = true;
            } else {
                std::ungetc(next, in_);
            }
        }
        if (!at_end)
            return 1;
        return finish();
    }

    const char *error() const { return error_.c_str(); }

    // Ends the compression after a lack of memory; allocates nothing.
    int fail_without_memory() noexcept {
        error_ = "out of memory";
        failure_ = WGZ_ERR_MEMORY;
        state_ = State::failed;
        release();
        return failure_;
    }

private:
    enum class State { fresh, running, complete, failed };

    // Opens both files and starts deflate. The image is not created when
    // the source cannot be opened.
    bool start() {
        in_buffer_.resize(kReadPiece);
        out_buffer_.resize(kWritePiece);
        in_ = std::fopen(source_.c_str(), "rb");
        if (in_ == nullptr) {
            const int error_number = errno;
            fail(WGZ_ERR_OPEN, "cannot open " + source_, error_number);
            return false;
        }
        out_ = std::fopen(target_.c_str(), "wb");
        if (out_ == nullptr) {
            const int error_number = errno;
            fail(WGZ_ERR_OPEN, "cannot create " + target_, error_number);
            return false;
        }
        if (deflateInit2(&stream_, level_, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            fail(WGZ_ERR_ZLIB, "zlib refused to start a gzip stream", 0);
            return false;
        }
        stream_ready_ = true;
        state_ = State::running;
        return true;
    }

    // Feeds bytes to deflate and writes out whatever it produces.
    bool compress(unsigned char *data, size_t size, int flush) {
        stream_.next_in = data;
        stream_.avail_in = static_cast<uInt>(size);
        for (;;) {
            stream_.next_out = out_buffer_.data();
            stream_.avail_out = static_cast<uInt>(out_buffer_.size());
            const int result = deflate(&stream_, flush);
            if (result == Z_STREAM_ERROR) {
                fail(WGZ_ERR_ZLIB, "zlib failed while compressing " + source_, 0);
                return false;
            }
            const size_t have = out_buffer_.size() - stream_.avail_out;
            if (have > 0 && std::fwrite(out_buffer_.data(), 1, have, out_) != have) {
                const int error_number = errno;
                fail(WGZ_ERR_WRITE, "cannot write " + target_, error_number);
                return false;
            }
            if (flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0)
                return true;
        }
    }

    int finish() {
        if (!compress(nullptr, 0, Z_FINISH))
            return failure_;
        deflateEnd(&stream_);
        stream_ready_ = false;
        std::fclose(in_);
        in_ = nullptr;
        FILE *out = out_;
        out_ = nullptr;
        // The image counts as written only when its buffered tail reached
        // the file system without an error.
        bool written = true;
        int error_number = 0;
        if (std::fflush(out) != 0) {
            written = false;
            error_number = errno;
        }
        if (std::fclose(out) != 0 && written) {
            written = false;
            error_number = errno;
        }
        if (!written)
            return fail(WGZ_ERR_WRITE, "cannot write " + target_, error_number);
        state_ = State::complete;
        return 0;
    }

    int fail_reading(int error_number) { return fail(WGZ_ERR_READ, "cannot read " + source_, error_number); }

    int fail(int code, const std::string &what, int error_number) {
        error_ = what;
        if (error_number != 0) {
            error_ += ": ";
            error_ += std::strerror(error_number);
        }
        failure_ = code;
        state_ = State::failed;
        release();
        return code;
    }

    void release() {
        if (stream_ready_) {
            deflateEnd(&stream_);
            stream_ready_ = false;
        }
        if (in_ != nullptr) {
            std::fclose(in_);
            in_ = nullptr;
        }
        if (out_ != nullptr) {
            std::fclose(out_);
            out_ = nullptr;
        }
    }

    std::string source_;
    std::string target_;
    int level_;
    State state_ = State::fresh;
    int failure_ = 0;
    std::string error_;
    FILE *in_ = nullptr;
    FILE *out_ = nullptr;
    z_stream stream_{};
    bool stream_ready_ = false;
    std::vector<unsigned char> in_buffer_;
    std::vector<unsigned char> out_buffer_;
};

GzipFileOp *from_handle(wgz_file_op op) { return reinterpret_cast<GzipFileOp *>(op); }

}  // namespace

extern "C" {

wgz_file_op wgzFileOpCreate(const char *source, const char *target, int level) {
    if (source == nullptr || target == nullptr) {
        errno = EINVAL;
        return 0;
    }
    try {
        return reinterpret_cast<wgz_file_op>(new GzipFileOp(source, target, level));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return 0;
    }
}

int wgzFileOpExecOnSingleBuffer(wgz_file_op op, int step_bytes) {
    if (op == 0)
        return WGZ_ERR_STATE;
    const size_t step = step_bytes > 0 ? static_cast<size_t>(step_bytes) : WGZ_DEFAULT_STEP;
    GzipFileOp *gzip = from_handle(op);
    try {
        return gzip->step(step);
    } catch (const std::bad_alloc &) {
        return gzip->fail_without_memory();
    }
}

const char *wgzFileOpError(wgz_file_op op) {
    if (op == 0)
        return "no compression handle";
    return from_handle(op)->error();
}

void wgzFileOpDestroy(wgz_file_op op) { delete from_handle(op); }

}  // extern "C"
