#pragma once
// Big-endian cursors over datagrams and caller buffers.
//
// Received bytes are never reinterpreted through packed structs: every field is
// assembled byte by byte, so alignment and host byte order do not matter. Both
// cursors are sticky on overflow: once a read or write would pass the end, the
// cursor stops moving, every later read yields zero and every later write is
// dropped, so a parser can read all fields unconditionally and check `ok()`
// once at the end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace oculane {

class ByteReader {
public:
    // `data` must cover exactly the bytes received, not the whole buffer.
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}
    ByteReader(const std::uint8_t* data, std::size_t received) : data_(data, received) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(take_be(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take_be(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take_be(4)); }
    std::uint64_t u64() { return take_be(8); }

    // The next n bytes, or an empty span (and overflow) when fewer remain.
    std::span<const std::uint8_t> bytes(std::size_t n) {
        if (!reserve(n)) return {};
        auto out = data_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    void skip(std::size_t n) { (void)bytes(n); }
    // Everything not yet read; never overflows.
    std::span<const std::uint8_t> rest() {
        auto out = data_.subspan(pos_);
        pos_ = data_.size();
        return out;
    }

    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return data_.size() - pos_; }
    bool overflow() const { return overflow_; }
    bool ok() const { return !overflow_; }

private:
    bool reserve(std::size_t n) {
        if (overflow_ || n > data_.size() - pos_) {
            overflow_ = true;
            return false;
        }
        return true;
    }
    std::uint64_t take_be(std::size_t n) {
        if (!reserve(n)) return 0;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = (v << 8) | data_[pos_ + i];
        pos_ += n;
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool overflow_ = false;
};

// The big-endian word at `offset`, or 0 when fewer than 4 bytes are there.
inline std::uint32_t be32_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return offset <= bytes.size() ? ByteReader(bytes.subspan(offset)).u32() : 0;
}

class ByteWriter {
public:
    explicit ByteWriter(std::span<std::uint8_t> buffer) : buf_(buffer) {}

    void u8(std::uint8_t v) { put_be(v, 1); }
    void u16(std::uint16_t v) { put_be(v, 2); }
    void u32(std::uint32_t v) { put_be(v, 4); }
    void u64(std::uint64_t v) { put_be(v, 8); }
    void bytes(std::span<const std::uint8_t> src) {
        if (!reserve(src.size())) return;
        if (!src.empty()) std::memcpy(buf_.data() + pos_, src.data(), src.size());
        pos_ += src.size();
    }
    void zeros(std::size_t n) {
        if (!reserve(n)) return;
        std::memset(buf_.data() + pos_, 0, n);
        pos_ += n;
    }

    // Bytes written so far (a prefix of the buffer).
    std::size_t size() const { return pos_; }
    bool overflow() const { return overflow_; }
    bool ok() const { return !overflow_; }

private:
    bool reserve(std::size_t n) {
        if (overflow_ || n > buf_.size() - pos_) {
            overflow_ = true;
            return false;
        }
        return true;
    }
    void put_be(std::uint64_t v, std::size_t n) {
        if (!reserve(n)) return;
        for (std::size_t i = 0; i < n; ++i)
            buf_[pos_ + i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
        pos_ += n;
    }

    std::span<std::uint8_t> buf_;
    std::size_t pos_ = 0;
    bool overflow_ = false;
};

}  // namespace oculane
