#pragma once
// An in-memory device for node-evaluation tests: a sparse byte space that
// records every access, with a switch to make the next accesses fail.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "genicam/port.hpp"

namespace oculane::testing {

class MemoryPort final : public PortIo {
public:
    struct Access {
        bool write = false;
        std::uint64_t address = 0;
        std::vector<std::uint8_t> bytes;  // written bytes, or the bytes handed back
        bool operator==(const Access&) const = default;
    };

    CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> dst) override {
        if (failure_) return std::unexpected(*failure_);
        for (std::size_t i = 0; i < dst.size(); ++i) {
            auto it = memory_.find(address + i);
            dst[i] = it == memory_.end() ? 0 : it->second;
        }
        log_.push_back({false, address, {dst.begin(), dst.end()}});
        return {};
    }

    CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> src) override {
        if (failure_) return std::unexpected(*failure_);
        for (std::size_t i = 0; i < src.size(); ++i) memory_[address + i] = src[i];
        log_.push_back({true, address, {src.begin(), src.end()}});
        return {};
    }

    void poke(std::uint64_t address, std::vector<std::uint8_t> bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) memory_[address + i] = bytes[i];
    }
    std::vector<std::uint8_t> peek(std::uint64_t address, std::size_t n) const {
        std::vector<std::uint8_t> out(n);
        for (std::size_t i = 0; i < n; ++i) {
            auto it = memory_.find(address + i);
            out[i] = it == memory_.end() ? 0 : it->second;
        }
        return out;
    }
    void fail_with(std::optional<CameraError> e) { failure_ = std::move(e); }

    const std::vector<Access>& log() const { return log_; }
    std::size_t reads() const { return count(false); }
    std::size_t writes() const { return count(true); }
    void clear_log() { log_.clear(); }

private:
    std::size_t count(bool write) const {
        std::size_t n = 0;
        for (auto& a : log_) n += a.write == write;
        return n;
    }
    std::map<std::uint64_t, std::uint8_t> memory_;
    std::vector<Access> log_;
    std::optional<CameraError> failure_;
};

}  // namespace oculane::testing
