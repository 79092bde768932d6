// Volumes written as they fill: entries go out one after the other, each
// split across volumes where the size limit says, the way
// VolumeSetWriter lays them out, but without holding the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "compress/archive_writer.h"

// Where the volumes' bytes go.
class VolumeOutput {
public:
    virtual ~VolumeOutput() = default;
    // Starts volume index (0, 1, ...); the previous one is finished.
    virtual bool open_volume(size_t index) = 0;
    // Appends to the volume last opened.
    virtual bool write(const uint8_t* bytes, size_t size) = 0;
    // Overwrites bytes already written to volume index (the open one or
    // an earlier one).
    virtual bool patch(size_t index, uint64_t offset, const uint8_t* bytes, size_t size) = 0;
    // Finishes the last volume.
    virtual bool close() = 0;
    // Why the last call failed.
    virtual std::string error() const = 0;
};

// Volumes as byte vectors.
class MemoryVolumes : public VolumeOutput {
public:
    bool open_volume(size_t index) override;
    bool write(const uint8_t* bytes, size_t size) override;
    bool patch(size_t index, uint64_t offset, const uint8_t* bytes, size_t size) override;
    bool close() override { return true; }
    std::string error() const override { return {}; }
    std::vector<Bytes> volumes;
};

class VolumeStreamWriter {
public:
    // An entry's packed data is held in memory up to this many bytes, so
    // that its header is written once with its final fields; beyond it the
    // data goes out at once behind provisional headers that are rewritten
    // when the entry ends (their size does not depend on the fields that
    // change).
    static constexpr size_t ENTRY_BUFFER_LIMIT = size_t{1} << 20;

    // volume_limit: the size a volume should not exceed (0: no limit).
    VolumeStreamWriter(VolumeOutput& out, const MainHeaderFields& main, uint32_t volume_limit);

    bool begin_entry(const FileHeaderFields& fields);
    bool data(const uint8_t* bytes, size_t size);
    // Whether the data so far is still held (no header written yet).
    bool buffered() const { return !spilled_; }
    const Bytes& held() const { return buffer_; }
    // Replaces the held data (e.g. by the entry's stored bytes).
    void replace_held(Bytes bytes) { buffer_ = std::move(bytes); }
    // fields: the final header (sizes, CRC, method) less packed_size.
    bool end_entry(const FileHeaderFields& fields);
    bool finish();

    size_t volume_count() const { return volume_index_ + 1; }
    uint64_t entry_packed_size() const { return entry_packed_; }
    std::string error() const { return error_; }

private:
    struct Piece {
        size_t volume;
        uint64_t offset;  // of its header in that volume
        uint64_t size;    // packed bytes in it
        uint64_t capacity;  // most it may hold: the volume's room after its header
    };
    bool fail(const std::string& why);
    bool start_volume();
    bool end_volume();
    bool put(const uint8_t* bytes, size_t size);
    bool open_piece(const FileHeaderFields& fields);
    bool emit(const FileHeaderFields& fields, const uint8_t* bytes, size_t size, bool all_known);
    uint64_t piece_capacity(size_t header_size) const;

    VolumeOutput& out_;
    MainHeaderFields main_;
    uint32_t limit_;
    size_t volume_index_ = 0;
    uint64_t volume_size_ = 0;
    bool started_ = false;

    FileHeaderFields fields_;
    size_t header_size_ = 0;
    Bytes buffer_;
    bool spilled_ = false;
    bool in_piece_ = false;
    std::vector<Piece> pieces_;
    uint64_t entry_packed_ = 0;
    std::string error_;
};

// Volumes as files: the first under the name given, the next ones under
// the names the volume switch derives from it. A subclass may write them
// under other paths (temporary names) and stop a run.
class FileVolumes : public VolumeOutput {
public:
    using Opener = std::FILE* (*)(const char* path);  // opens to write ("wb")
    explicit FileVolumes(std::string first_name, Opener open = nullptr);
    ~FileVolumes() override;

    bool open_volume(size_t index) override;
    bool write(const uint8_t* bytes, size_t size) override;
    bool patch(size_t index, uint64_t offset, const uint8_t* bytes, size_t size) override;
    bool close() override;
    std::string error() const override { return error_; }

    const std::vector<std::string>& names() const { return names_; }  // the volumes' own names
    const std::vector<std::string>& paths() const { return paths_; }  // where they were written
    bool stopped() const { return stopped_; }

protected:
    virtual std::string path_for(const std::string& name) { return name; }
    virtual bool stop_requested() { return false; }

private:
    bool fail_io(const char* what, size_t index);
    bool close_current();

    Opener open_;
    std::vector<std::string> names_, paths_;
    std::FILE* file_ = nullptr;
    std::string error_;
    bool stopped_ = false;
};
