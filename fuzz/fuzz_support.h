// What the fuzz targets share: a reader of the input's control bytes, exact
// heap copies of the payload, and a check that stops the run with a message.
//
// Every target is one LLVMFuzzerTestOneInput. Built with clang it links with
// libFuzzer; built with any compiler it links with replay_main.cpp, which
// feeds it the files of its corpus and its regression inputs.
#pragma once

#include "driver/elam.h"
#include "hostkernel/hostkernel.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

// A broken property: report it and abort, which libFuzzer and the replay
// both count as a crash.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

namespace fuzz {

// The input, read from the front: control bytes first, then the payload.
// A byte read past the end is 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() {
        if (position_ >= size_) return 0;
        return data_[position_++];
    }

    // Everything not yet read.
    std::span<const std::uint8_t> Rest() {
        std::span<const std::uint8_t> rest(data_ + position_, size_ - position_);
        position_ = size_;
        return rest;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// A heap block of exactly these bytes, so that AddressSanitizer reports a
// read one byte past them. (A vector may hold spare capacity behind its data.)
class ExactCopy {
public:
    explicit ExactCopy(std::span<const std::uint8_t> bytes)
        : size_(bytes.size()), data_(new std::uint8_t[bytes.size()]) {
        if (size_ != 0) std::memcpy(data_.get(), bytes.data(), size_);
    }
    std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> data_;
};

// One control byte as an injected pool failure: with its top bit set, the
// allocation numbered by its low bits (counted from 1) fails. Returns the
// number armed, 0 for none.
inline std::uint64_t ArmPoolFailure(std::uint8_t control) {
    if ((control & 0x80) == 0) return 0;
    const std::uint64_t n = (control & 0x7F) + 1u;
    hk::PoolFailNth(n);
    return n;
}

}  // namespace fuzz
