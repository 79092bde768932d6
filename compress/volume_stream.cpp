#include "compress/volume_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/header.h"
#include "archive/packed.h"
#include "platform/platform.h"

bool MemoryVolumes::open_volume(size_t index)
{
    volumes.resize(index + 1);
    return true;
}

bool MemoryVolumes::write(const uint8_t* bytes, size_t size)
{
    volumes.back().insert(volumes.back().end(), bytes, bytes + size);
    return true;
}

bool MemoryVolumes::patch(size_t index, uint64_t offset, const uint8_t* bytes, size_t size)
{
    std::memcpy(volumes[index].data() + offset, bytes, size);
    return true;
}

VolumeStreamWriter::VolumeStreamWriter(VolumeOutput& out, const MainHeaderFields& main, uint32_t volume_limit)
    : out_(out), main_(main), limit_(volume_limit)
{
}

bool VolumeStreamWriter::fail(const std::string& why)
{
    if (error_.empty())
        error_ = why;
    return false;
}

bool VolumeStreamWriter::put(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return true;
    if (!out_.write(bytes, size))
        return fail(out_.error());
    volume_size_ += size;
    return true;
}

// A volume must hold its main header, an entry's header and a byte of the
// entry; below that every volume is overfilled.
bool VolumeStreamWriter::end_volume()
{
    if (limit_ != 0 && volume_size_ > limit_)
        return fail("a volume size of " + std::to_string(limit_) +
                    " bytes is too small to hold a volume's headers and a byte of an entry");
    return true;
}

bool VolumeStreamWriter::start_volume()
{
    if (started_) {
        if (!end_volume())
            return false;
        ++volume_index_;
    }
    started_ = true;
    if (!out_.open_volume(volume_index_))
        return fail(out_.error());
    volume_size_ = 0;
    MainHeaderFields m = main_;
    m.volume_number = static_cast<uint8_t>(volume_index_);
    Bytes header = main_header_bytes(m);
    return put(header.data(), header.size());
}

// The reader moves to the next volume only inside a continued entry, so
// every entry starts in the volume where the previous one ended, and every
// piece but an empty entry's holds at least one byte (an empty continued
// piece would end the entry's data there).
uint64_t VolumeStreamWriter::piece_capacity(size_t header_size) const
{
    if (limit_ == 0)
        return UINT64_MAX;
    uint64_t room = limit_ > volume_size_ ? limit_ - volume_size_ : 0;
    return room > header_size ? room - header_size : 1;
}

bool VolumeStreamWriter::begin_entry(const FileHeaderFields& fields)
{
    if (!started_ && !start_volume())
        return false;
    fields_ = fields;
    header_size_ = file_header_bytes(fields, 0).size();
    buffer_.clear();
    spilled_ = false;
    in_piece_ = false;
    pieces_.clear();
    entry_packed_ = 0;
    return true;
}

bool VolumeStreamWriter::open_piece(const FileHeaderFields& fields)
{
    pieces_.push_back({volume_index_, volume_size_, 0, piece_capacity(header_size_)});
    in_piece_ = true;
    Bytes header = file_header_bytes(fields, 0);
    return put(header.data(), header.size());
}

// Data behind provisional headers: pieces end where the volume is full.
bool VolumeStreamWriter::emit(const FileHeaderFields& fields, const uint8_t* bytes, size_t size, bool all_known)
{
    if (all_known) {
        // Every piece's header is final: sizes are known in advance.
        size_t offset = 0;
        for (;;) {
            uint64_t capacity = piece_capacity(header_size_);
            size_t left = size - offset;
            bool last = left <= capacity;
            size_t take = last ? left : static_cast<size_t>(capacity);
            FileHeaderFields f = fields;
            if (last)
                f.flags &= static_cast<uint16_t>(~FLAG_CONTINUED_NEXT);
            else
                f.flags |= FLAG_CONTINUED_NEXT;
            Bytes header = file_header_bytes(f, static_cast<uint32_t>(take));
            if (!put(header.data(), header.size()) || !put(bytes + offset, take))
                return false;
            offset += take;
            if (last)
                return true;
            if (!start_volume())
                return false;
        }
    }
    while (size > 0) {
        const Piece& piece = pieces_.back();
        if (piece.size >= piece.capacity) {
            if (!start_volume() || !open_piece(fields))
                return false;
            continue;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(size, piece.capacity - piece.size));
        if (!put(bytes, n))
            return false;
        pieces_.back().size += n;
        bytes += n;
        size -= n;
    }
    return true;
}

bool VolumeStreamWriter::data(const uint8_t* bytes, size_t size)
{
    entry_packed_ += size;
    if (!spilled_) {
        buffer_.insert(buffer_.end(), bytes, bytes + size);
        if (buffer_.size() <= ENTRY_BUFFER_LIMIT)
            return true;
        spilled_ = true;
        if (!open_piece(fields_) || !emit(fields_, buffer_.data(), buffer_.size(), false))
            return false;
        buffer_.clear();
        return true;
    }
    return emit(fields_, bytes, size, false);
}

bool VolumeStreamWriter::end_entry(const FileHeaderFields& fields)
{
    if (!spilled_) {
        entry_packed_ = buffer_.size();
        bool ok = emit(fields, buffer_.data(), buffer_.size(), true);
        buffer_.clear();
        return ok;
    }
    for (size_t k = 0; k < pieces_.size(); ++k) {
        FileHeaderFields f = fields;
        if (k + 1 < pieces_.size())
            f.flags |= FLAG_CONTINUED_NEXT;
        else
            f.flags &= static_cast<uint16_t>(~FLAG_CONTINUED_NEXT);
        Bytes header = file_header_bytes(f, static_cast<uint32_t>(pieces_[k].size));
        if (header.size() != header_size_)
            return fail("the header of " + fields.name + " changed its size");
        if (!out_.patch(pieces_[k].volume, pieces_[k].offset, header.data(), header.size()))
            return fail(out_.error());
    }
    return true;
}

bool VolumeStreamWriter::finish()
{
    if (!started_ && !start_volume())
        return false;
    if (!end_volume())
        return false;
    if (!out_.close())
        return fail(out_.error());
    return true;
}

// ---- FileVolumes -------------------------------------------------------------

namespace {

std::FILE* open_new(const char* path) { return platform_fopen(path, "wb"); }

std::string reason(int error_number) { return error_number ? std::strerror(error_number) : "an unknown error"; }

}  // namespace

FileVolumes::FileVolumes(std::string first_name, Opener open) : open_(open ? open : open_new)
{
    names_.push_back(std::move(first_name));
}

FileVolumes::~FileVolumes()
{
    if (file_)
        std::fclose(file_);
}

bool FileVolumes::fail_io(const char* what, size_t index)
{
    error_ = std::string(what) + " " + names_[index] + ": " + reason(errno);
    return false;
}

bool FileVolumes::close_current()
{
    if (!file_)
        return true;
    errno = 0;
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    int flush_error = errno;
    errno = 0;
    ok = std::fclose(file_) == 0 && ok;
    if (!errno)
        errno = flush_error;
    file_ = nullptr;
    return ok || fail_io("cannot write", paths_.size() - 1);
}

bool FileVolumes::open_volume(size_t index)
{
    if (!close_current())
        return false;
    while (names_.size() <= index) {
        char name[NAME_CAPACITY] = {};
        if (names_.back().size() >= sizeof name) {
            error_ = "cannot name the volume after " + names_.back();
            return false;
        }
        std::memcpy(name, names_.back().c_str(), names_.back().size() + 1);
        if (!next_volume_name(name)) {
            error_ = "the archive needs more volumes than there are names for (" + std::to_string(names_.size()) +
                     "); choose a larger volume size";
            return false;
        }
        names_.emplace_back(name);
    }
    paths_.push_back(path_for(names_[index]));
    errno = 0;
    file_ = open_(paths_.back().c_str());
    if (!file_)
        return fail_io("cannot create", index);
    return true;
}

bool FileVolumes::write(const uint8_t* bytes, size_t size)
{
    if (stop_requested()) {
        stopped_ = true;
        error_ = "interrupted";
        return false;
    }
    errno = 0;
    if (std::fwrite(bytes, 1, size, file_) != size)
        return fail_io("cannot write", paths_.size() - 1);
    return true;
}

bool FileVolumes::patch(size_t index, uint64_t offset, const uint8_t* bytes, size_t size)
{
    errno = 0;
    if (index + 1 == paths_.size() && file_) {
        if (!platform_fseek(file_, offset) || std::fwrite(bytes, 1, size, file_) != size ||
            std::fseek(file_, 0, SEEK_END) != 0)
            return fail_io("cannot write", index);
        return true;
    }
    std::FILE* f = platform_fopen(paths_[index].c_str(), "r+b");
    if (!f)
        return fail_io("cannot write", index);
    bool ok = platform_fseek(f, offset) && std::fwrite(bytes, 1, size, f) == size;
    ok = std::fclose(f) == 0 && ok;
    return ok || fail_io("cannot write", index);
}

bool FileVolumes::close() { return close_current(); }
