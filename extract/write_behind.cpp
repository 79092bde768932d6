// The writer thread and the hand-over of blocks. The caller fills the
// block at head_, hands it over by posting filled_ and takes the next one
// when free_ says it is written; the writer takes them in the same order.
// The semaphores are the only synchronisation: a block's bytes are touched
// by one side at a time.
#include "extract/write_behind.h"

#include <cstring>

#include "extract/job.h"

WriteBehindHost::WriteBehindHost(JobHost& target, JobContext& cx) : ForwardingHost(target), cx_(cx)
{
    memory_ = static_cast<uint8_t*>(platform_allocate(size_t(OUTPUT_BATCH_SIZE) * WRITE_BEHIND_BLOCKS));
    for (uint32_t i = 0; i < WRITE_BEHIND_BLOCKS; i++)
        blocks_[i] = Block{-1, 0, memory_ ? memory_ + size_t(i) * OUTPUT_BATCH_SIZE : nullptr};
    if (!memory_)
        return;  // every write then fails as a write the system refused
    if (!platform_create_semaphore(&filled_, 0))
        return;
    if (!platform_create_semaphore(&free_, 0)) {
        platform_destroy_semaphore(&filled_);
        return;
    }
    threaded_ = platform_start_thread(&thread_, writer_main, this);
    if (!threaded_) {
        platform_destroy_semaphore(&filled_);
        platform_destroy_semaphore(&free_);
    }
}

WriteBehindHost::~WriteBehindHost()
{
    if (threaded_) {
        drain();
        blocks_[head_] = Block{-1, 0, blocks_[head_].bytes};
        platform_post_semaphore(&filled_);
        platform_join_thread(&thread_);
        platform_destroy_semaphore(&filled_);
        platform_destroy_semaphore(&free_);
    }
    platform_release(memory_);
}

void WriteBehindHost::writer_main(void* self) { static_cast<WriteBehindHost*>(self)->writer_loop(); }

void WriteBehindHost::writer_loop()
{
    for (;;) {
        platform_wait_semaphore(&filled_);
        const Block& block = blocks_[tail_];
        if (block.fd < 0)
            return;
        write_block(block);
        tail_ = (tail_ + 1) % WRITE_BEHIND_BLOCKS;
        platform_post_semaphore(&free_);
    }
}

void WriteBehindHost::write_block(const Block& block)
{
    // After a failure the file is taken back: the rest of it is not
    // written; nor is anything once the run has stopped.
    if (failed_.load(std::memory_order_relaxed) || current_status(cx_) != STATUS_OK)
        return;
    int32_t written = target_.write_output(block.fd, block.bytes, block.count);
    if (written < 0 || uint32_t(written) != block.count)
        failed_.store(true, std::memory_order_relaxed);
}

// Hands the block being filled to the writer (or writes it here) and
// readies the next one. False when a block of the file failed.
bool WriteBehindHost::submit(int32_t fd)
{
    Block& block = blocks_[head_];
    block.fd = fd;
    if (!threaded_) {
        write_block(block);
        block.count = 0;
        return !failed_.load(std::memory_order_relaxed);
    }
    platform_post_semaphore(&filled_);
    in_flight_++;
    head_ = (head_ + 1) % WRITE_BEHIND_BLOCKS;
    // The next block to fill may be the oldest one still being written.
    if (in_flight_ == WRITE_BEHIND_BLOCKS) {
        platform_wait_semaphore(&free_);
        in_flight_--;
    }
    blocks_[head_].count = 0;
    return !failed_.load(std::memory_order_relaxed);
}

// Waits until every block handed over is written.
void WriteBehindHost::drain()
{
    for (; in_flight_ > 0; in_flight_--)
        platform_wait_semaphore(&free_);
}

int32_t WriteBehindHost::write_output(int32_t fd, const void* data, uint32_t count)
{
    if (!memory_)
        return -1;
    // Another file's bytes go out first (the engine closes each file
    // before it opens the next, so this is only a safeguard).
    Block* block = &blocks_[head_];
    if (fd != fd_) {
        if (block->count != 0 && !submit(fd_))
            return -1;
        drain();
        failed_.store(false, std::memory_order_relaxed);
        fd_ = fd;
        block = &blocks_[head_];
    }
    const uint8_t* from = static_cast<const uint8_t*>(data);
    uint32_t left = count;
    while (left > 0) {
        uint32_t part = OUTPUT_BATCH_SIZE - block->count;
        if (part > left)
            part = left;
        std::memcpy(block->bytes + block->count, from, part);
        block->count += part;
        from += part;
        left -= part;
        if (block->count == OUTPUT_BATCH_SIZE) {
            if (!submit(fd))
                return -1;
            block = &blocks_[head_];
        }
    }
    return failed_.load(std::memory_order_relaxed) ? -1 : int32_t(count);
}

void WriteBehindHost::close_output(int32_t fd)
{
    if (fd == fd_) {
        // Once the writer is idle, the last block is written here: a file
        // that fits one block (most of them) then never wakes the writer,
        // and waiting on it would take as long as writing.
        drain();
        Block& block = blocks_[head_];
        // After a failure the file is taken back: its last bytes would be
        // written for nothing.
        if (block.count != 0 && current_status(cx_) == STATUS_OK) {
            block.fd = fd;
            write_block(block);
        }
        block.count = 0;
        if (failed_.load(std::memory_order_relaxed) && current_status(cx_) == STATUS_OK)
            set_status(cx_, STATUS_WRITE_FAILED);
        failed_.store(false, std::memory_order_relaxed);
        fd_ = -1;
    }
    target_.close_output(fd);
}
