// The bytes the packer works on, seen through a window that slides along
// the stream: the dictionary's reach behind the position being packed and
// a lookahead before it. Positions are absolute stream offsets (64 bits);
// only the window's bytes are in memory, whatever the stream's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Where the stream's bytes come from, in order.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to n bytes into dst; 0 at the end of the stream or on failure
    // (then failed() is true and error() says why).
    virtual size_t read(uint8_t* dst, size_t n) = 0;
    virtual bool failed() const { return false; }
    virtual std::string error() const { return {}; }
};

class StreamWindow {
public:
    // The window slides by whole multiples of this, so that positions
    // taken modulo any dictionary size keep their slots when rebased.
    static constexpr uint64_t SLIDE_UNIT = uint64_t{1} << 20;
    // Bytes kept behind the position being packed: the largest dictionary.
    static constexpr uint64_t HISTORY = uint64_t{1} << 20;
    static constexpr size_t CAPACITY = size_t{3} << 20;

    // A window over a source, read as it is needed.
    explicit StreamWindow(ByteSource& source);
    // A window over bytes already in memory: it never slides or reads.
    StreamWindow(const uint8_t* data, uint64_t size);

    // Makes [keep_from, need_end) resident (need_end cut at the end of the
    // stream). need_end - keep_from must not exceed CAPACITY - SLIDE_UNIT.
    // False when the source failed.
    bool prepare(uint64_t keep_from, uint64_t need_end);

    const uint8_t* buffer() const { return data_; }
    uint64_t base() const { return base_; }  // the position of buffer()[0]
    uint64_t end() const { return base_ + filled_; }  // first position not resident
    bool at_stream_end() const { return exhausted_; }
    const uint8_t* at(uint64_t pos) const { return data_ + (pos - base_); }

private:
    ByteSource* source_ = nullptr;
    std::unique_ptr<uint8_t[]> storage_;
    const uint8_t* data_ = nullptr;
    uint64_t base_ = 0;
    size_t filled_ = 0;
    bool exhausted_ = false;
};
