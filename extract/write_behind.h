// Output written on a second thread while the engine decodes on. Writing
// a file's blocks costs about as much system time as decoding them costs
// processor time; with two cores the two can overlap.
#pragma once

#include <atomic>
#include <cstdint>

#include "extract/output.h"
#include "platform/platform.h"

// Like BatchedOutputHost, the target sees the open file's bytes in blocks
// of OUTPUT_BATCH_SIZE (the last one shorter), in order, but its
// write_output is called on the writer thread, up to WRITE_BEHIND_BLOCKS
// blocks behind the engine. close_output waits until the file's blocks are
// written, writes its last (partial) block and closes it on the caller's
// thread, so an entry's result
// is known when the engine decides it, exactly as without this host: a
// failed block fails the entry (its partial file is taken back) and stops
// the run with a write failure. Every other call goes straight to the
// target on the caller's thread. Where no thread can be started, the
// blocks are written on the caller's thread.
constexpr uint32_t WRITE_BEHIND_BLOCKS = 16;

class WriteBehindHost : public ForwardingHost {
public:
    // cx: the job whose status a failure goes into.
    WriteBehindHost(JobHost& target, JobContext& cx);
    ~WriteBehindHost() override;
    WriteBehindHost(const WriteBehindHost&) = delete;
    WriteBehindHost& operator=(const WriteBehindHost&) = delete;

    int32_t write_output(int32_t fd, const void* data, uint32_t count) override;
    void close_output(int32_t fd) override;

private:
    struct Block {
        int32_t fd;       // -1: the writer is to stop
        uint32_t count;
        uint8_t* bytes;   // OUTPUT_BATCH_SIZE
    };

    static void writer_main(void* self);
    void writer_loop();
    void write_block(const Block& block);
    bool submit(int32_t fd);
    void drain();

    JobContext& cx_;
    uint8_t* memory_ = nullptr;          // every block's bytes
    Block blocks_[WRITE_BEHIND_BLOCKS]{};
    uint32_t head_ = 0;                  // the block being filled (caller)
    uint32_t tail_ = 0;                  // the next block to write (writer)
    uint32_t in_flight_ = 0;             // blocks handed over and not yet known written
    int32_t fd_ = -1;                    // the file whose bytes are held
    bool threaded_ = false;
    std::atomic<bool> failed_{false};    // a block of the open file could not be written
    PlatformThread thread_{};
    PlatformSemaphore filled_{};         // blocks handed to the writer
    PlatformSemaphore free_{};           // blocks the writer is done with
};
