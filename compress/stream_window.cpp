#include "compress/stream_window.h"

#include <cstring>

StreamWindow::StreamWindow(ByteSource& source)
    : source_(&source), storage_(new uint8_t[CAPACITY]), data_(storage_.get())
{
}

StreamWindow::StreamWindow(const uint8_t* data, uint64_t size)
    : data_(data), filled_(static_cast<size_t>(size)), exhausted_(true)
{
}

bool StreamWindow::prepare(uint64_t keep_from, uint64_t need_end)
{
    if (exhausted_)
        return source_ == nullptr || !source_->failed();
    if (need_end <= end())
        return true;
    uint8_t* buf = storage_.get();
    if (need_end > base_ + CAPACITY && keep_from > base_) {
        uint64_t delta = (keep_from - base_) / SLIDE_UNIT * SLIDE_UNIT;
        if (delta > 0) {
            std::memmove(buf, buf + delta, filled_ - static_cast<size_t>(delta));
            filled_ -= static_cast<size_t>(delta);
            base_ += delta;
        }
    }
    // Fill as far as the buffer goes: fewer, larger reads.
    while (filled_ < CAPACITY) {
        size_t got = source_->read(buf + filled_, CAPACITY - filled_);
        if (got == 0) {
            exhausted_ = true;
            return !source_->failed();
        }
        filled_ += got;
    }
    return true;
}
