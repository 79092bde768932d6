#include "archive/packed.h"

#include <cstring>

#include "archive/header.h"
#include "archive/stream.h"
#include "extract/job.h"

static const char VOLUME_DAMAGED_MESSAGE[] = "Error while reading data. Archive seems to be damaged.";

uint32_t read_packed(JobContext& cx, void* dst, uint32_t n)
{
    HeaderReader& r = cx.reader;
    uint8_t* out = static_cast<uint8_t*>(dst);
    uint32_t total = 0;
    uint32_t left = n;
    while (current_status(cx) == STATUS_OK && left > 0 && r.packed_remaining > 0) {
        uint32_t chunk = r.packed_remaining < left ? r.packed_remaining : left;
        r.packed_remaining -= chunk;
        int32_t got = stream_read(cx.stream, cx.job.archive_handle, out, chunk);
        if (got < 0)
            set_status(cx, STATUS_READ_FAILED);
        else
            total += uint32_t(got);
        if (got >= 0 && uint32_t(got) < chunk)
            r.data_cut_short = 1;
        // A short read (a data area cut off by the end of the archive) still
        // counts in full here; the entry's CRC check reports the damage.
        out += chunk;
        left -= chunk;
        if (r.packed_remaining == 0 && (r.header.header_flags & FLAG_CONTINUED_NEXT)) {
            if (!next_volume(cx))
                break;
        }
    }
    return total;
}

int next_volume(JobContext& cx)
{
    stream_close(cx.stream, cx.job.archive_handle);
    if (!next_volume_name(cx)) {
        // No name follows this one (past .999, or nothing to rewrite): the
        // set cannot go on. Failing here also bounds every volume chain.
        cx.host->show_message(VOLUME_DAMAGED_MESSAGE);
        set_status(cx, STATUS_VOLUME_OPEN_FAILED);
        return 0;
    }
    if (!wait_for_volume(cx))
        return 0;
    if (!read_header(cx, 1)) {
        set_status(cx, STATUS_READ_FAILED);
        return 0;
    }
    return 1;
}

int next_volume_name(JobContext& cx) { return next_volume_name(cx.job.archive_name); }

// The characters past the terminator are not part of the name: they read
// as 0, which no digit rule accepts, so "name." and "name.A" get a fresh
// three-character extension instead of whatever followed in the buffer.
int next_volume_name(char* name)
{
    const size_t length = std::strlen(name);
    if (length >= size_t(NAME_CAPACITY))
        return 0;
    size_t dot = length;
    for (size_t i = length; i-- > 0;) {
        if (name[i] == '.') {
            dot = i;
            break;
        }
        if (name[i] == '\\' || name[i] == '/')
            break;  // the extension belongs to the last path component only
    }
    if (dot == length)
        return 0;
    // The extension must hold three characters and, when shorter now, the
    // terminator after them.
    if (dot + 4 >= size_t(NAME_CAPACITY) && length < dot + 4)
        return 0;

    auto ext = [&](size_t k) -> int {
        size_t at = dot + 1 + k;
        return at < length ? int(static_cast<signed char>(name[at])) : 0;
    };
    const int e0 = ext(0), e1 = ext(1), e2 = ext(2);
    int v = 10 * (e1 - '0') + (e2 - '0');
    if (v < 0 || v > 99)
        v = -1;
    if (e0 >= '0' && e0 <= '9')
        v += 100 * (e0 - '0');
    const int next = v + 1;
    if (next > 999)
        return 0;

    name[dot + 1] = next < 100 ? 'C' : char('0' + next / 100);
    name[dot + 2] = char('0' + next / 10 % 10);
    name[dot + 3] = char('0' + next % 10);
    if (length < dot + 4)
        name[dot + 4] = '\0';
    return 1;
}

void match_archive_name_case(JobContext& cx)
{
    if (cx.stream.backing == StreamBacking::FILE)
        cx.host->match_name_case(cx.job.archive_name);
}

static bool volume_present(JobContext& cx)
{
    match_archive_name_case(cx);
    return cx.host->path_exists(cx.job.archive_name);
}

int wait_for_volume(JobContext& cx)
{
    PackedReader& p = cx.packed;
    bool present = volume_present(cx);
    bool ask = present ? p.volume_prompt_mode == PROMPT_ALWAYS : p.volume_prompt_mode != PROMPT_NEVER;
    while (ask) {
        ring_bell(cx);
        cx.host->volume_prompt(cx.job.archive_name);
        int answer = ask_volume_key(cx);
        p.volume_prompt_mode = answer == VOLUME_KEY_CONTINUE ? PROMPT_WHEN_MISSING : PROMPT_ALWAYS;
        if (answer >= VOLUME_KEY_GIVE_UP) {
            // An interrupt during the wait has stopped the job already;
            // it, not the missing key, is what ended the prompt.
            if (current_status(cx) != STATUS_INTERRUPTED)
                set_status(cx, STATUS_CANCELLED);
            return 0;
        }
        ask = !volume_present(cx);
    }
    if (open_archive(cx))
        return 1;
    cx.host->show_message(VOLUME_DAMAGED_MESSAGE);
    set_status(cx, STATUS_VOLUME_OPEN_FAILED);
    return 0;
}

// Y and A go on; N, C and Esc give up. The end of input (or no console)
// gives up too, so the prompt can never wait on keys that cannot come.
int ask_volume_key(JobContext& cx)
{
    for (;;) {
        int key = cx.host->read_key();
        if (key < 0)
            return VOLUME_KEY_GIVE_UP;
        if (key >= 'a' && key <= 'z')
            key -= 'a' - 'A';
        switch (key) {
        case 'Y':
        case 'A':
            return VOLUME_KEY_CONTINUE;
        case 'N':
        case 'C':
        case 27:
            return VOLUME_KEY_GIVE_UP;
        default:
            break;
        }
    }
}

void ring_bell(JobContext& cx)
{
    cx.host->write_stdout_char(7);
    cx.host->flush_stdout();
}
