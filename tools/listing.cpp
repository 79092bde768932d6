#include "tools/listing.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "archive/header.h"
#include "extract/name_text.h"

DosDateTime decode_dos_time(uint32_t t)
{
    DosDateTime d;
    d.year = 1980 + int(t >> 25);
    d.month = int(t >> 21 & 15);
    d.day = int(t >> 16 & 31);
    d.hour = int(t >> 11 & 31);
    d.minute = int(t >> 5 & 63);
    d.second = int(t & 31) * 2;
    return d;
}

uint32_t encode_dos_time(const DosDateTime& d)
{
    // The stamp cannot say anything before 1980 or after 2107: clamp.
    if (d.year < 1980)
        return encode_dos_time({1980, 1, 1, 0, 0, 0});
    if (d.year > 2107)
        return encode_dos_time({2107, 12, 31, 23, 59, 58});
    return uint32_t(d.year - 1980) << 25 | uint32_t(d.month & 15) << 21 | uint32_t(d.day & 31) << 16 |
           uint32_t(d.hour & 31) << 11 | uint32_t(d.minute & 63) << 5 | uint32_t(d.second / 2 & 31);
}

std::string format_dos_time(uint32_t file_time)
{
    DosDateTime d = decode_dos_time(file_time);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour,
                  d.minute, d.second);
    return text;
}

std::string format_attributes(uint32_t a)
{
    std::string s = ".....";
    if (a & 0x10) s[0] = 'D';
    if (a & 0x01) s[1] = 'R';
    if (a & 0x02) s[2] = 'H';
    if (a & 0x04) s[3] = 'S';
    if (a & 0x20) s[4] = 'A';
    return s;
}

std::string format_ratio(uint64_t packed, uint64_t size)
{
    if (size == 0)
        return "0%";
    // Rounded to the nearest percent; a packed size far above the original
    // (damaged or hostile headers) still prints, just wide.
    uint64_t percent = (packed * 100 + size / 2) / size;
    return std::to_string(percent) + "%";
}

uint64_t dictionary_size(uint16_t parameter) { return uint64_t(1) << ((parameter & 15) + 10); }

std::string format_binary_size(uint64_t bytes)
{
    if (bytes != 0 && bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + "M";
    if (bytes != 0 && bytes % 1024 == 0)
        return std::to_string(bytes / 1024) + "K";
    return std::to_string(bytes);
}

std::string method_name(uint8_t method)
{
    switch (method) {
    case METHOD_STORED: return "stored";
    case METHOD_LZ77: return "lz77";
    default: return "unknown(" + std::to_string(method) + ")";
    }
}

std::string flag_names(uint16_t flags)
{
    static const struct {
        uint16_t mask;
        const char* name;
    } known[] = {
        {FLAG_DATA_SIZE, "data"},
        {FLAG_COMMENT, "comment"},
        {FLAG_CONTINUED_NEXT, "continued"},
        {FLAG_REFUSED, "refused"},
        {FLAG_SOLID, "solid"},
    };
    std::string s;
    uint16_t rest = flags;
    for (const auto& k : known) {
        if (flags & k.mask) {
            if (!s.empty()) s += ' ';
            s += k.name;
            rest = uint16_t(rest & ~k.mask);
        }
    }
    if (rest) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", rest);
        if (!s.empty()) s += '+';
        s += hex;
    }
    return s.empty() ? "none" : s;
}

std::string stored_text(const uint8_t* bytes, size_t length)
{
    std::string s(stored_text_to_utf8(bytes, length, nullptr, 0), '\0');
    stored_text_to_utf8(bytes, length, s.data(), s.size() + 1);
    return s;
}

std::string printable_text(const uint8_t* bytes, size_t length)
{
    const std::string text = stored_text(bytes, length);
    std::string s;
    s.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        const uint8_t c = uint8_t(text[i]);
        if (c < 0x20 || c == 0x7F) {
            s += '?';
        } else if (c == 0xC2 && i + 1 < text.size() && uint8_t(text[i + 1]) < 0xA0) {
            s += '?';  // U+0080-U+009F: the 8-bit controls, CSI among them
            i++;
        } else {
            s += char(c);
        }
    }
    return s;
}

ListedEntry listed_entry_from(const AceHeader& h)
{
    const AceFileHeader& f = h.file;
    ListedEntry e;
    size_t name_room = FILE_VARIABLE_SIZE;
    if (h.header_size >= FILE_FIXED_SIZE)
        name_room = std::min<size_t>(name_room, h.header_size - FILE_FIXED_SIZE);
    else
        name_room = 0;
    size_t n = std::min<size_t>(f.name_length, name_room);
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(f.variable, 0, n));
    if (zero)
        n = size_t(zero - f.variable);
    e.name = printable_text(f.variable, n);
    e.name_text = stored_text(f.variable, n);
    e.size = f.unpacked_size;
    e.packed = f.packed_size;
    e.file_time = f.file_time;
    e.attributes = f.file_attributes;
    e.crc = f.file_crc;
    e.method = f.method;
    e.quality = f.quality;
    e.parameter = f.parameter;
    e.flags = h.header_flags;
    return e;
}

bool decoded_comment_of(const AceHeader& h, std::string* text, std::string* raw)
{
    if (!(h.header_flags & FLAG_COMMENT))
        return false;
    const AceFileHeader& f = h.file;
    // The decoder writes only when the comment starts inside the variable
    // area and has packed bytes; otherwise the bytes there are not its text.
    size_t start = size_t(f.name_length) + 2;
    if (start >= FILE_VARIABLE_SIZE)
        return false;
    uint16_t comment_size = uint16_t(f.variable[f.name_length] | f.variable[f.name_length + 1] << 8);
    if (comment_size == 0)
        return false;
    const uint8_t* begin = f.variable + start;
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(begin, 0, FILE_VARIABLE_SIZE - start));
    if (!zero)
        return false;
    *text = printable_text(begin, size_t(zero - begin));
    if (raw)
        *raw = stored_text(begin, size_t(zero - begin));
    return true;
}

std::string listing_heading()
{
    return "Date       Time     Attr        Size     Packed Ratio CRC       Name\n"
           "---------- -------- ----- ---------- ---------- ----- --------  ----\n";
}

std::string listing_row(const ListedEntry& e)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s %s %10" PRIu32 " %10" PRIu64 " %5s %08" PRIX32 "  ",
                  format_dos_time(e.file_time).c_str(), format_attributes(e.attributes).c_str(), e.size,
                  e.packed, format_ratio(e.packed, e.size).c_str(), e.crc);
    return text + e.name + "\n";
}

std::string count_text(uint32_t files, uint32_t folders)
{
    std::string s = std::to_string(files) + (files == 1 ? " file" : " files");
    if (folders)
        s += ", " + std::to_string(folders) + (folders == 1 ? " folder" : " folders");
    return s;
}

void add_to_totals(ListingTotals* t, const ListedEntry& e)
{
    t->size += e.size;
    t->packed += e.packed;
    if (e.attributes & ATTR_DIRECTORY)
        t->folders++;
    else
        t->files++;
}

std::string listing_total(const ListingTotals& t)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "---------- -------- ----- ---------- ---------- -----\n"
                  "                          %10" PRIu64 " %10" PRIu64 " %5s           ",
                  t.size, t.packed, format_ratio(t.packed, t.size).c_str());
    return text + count_text(t.files, t.folders) + "\n";
}

std::string verbose_block(const ListedEntry& e)
{
    char facts[200];
    std::snprintf(facts, sizeof facts, "  size %" PRIu32 ", packed %" PRIu64 " (%s)", e.size, e.packed,
                  format_ratio(e.packed, e.size).c_str());
    std::string s = e.name + "\n" + facts;
    if (e.pieces > 1)
        s += ", in " + std::to_string(e.pieces) + " volumes";
    std::snprintf(facts, sizeof facts, ", %s, attributes %s, CRC %08" PRIX32 "\n",
                  format_dos_time(e.file_time).c_str(), format_attributes(e.attributes).c_str(), e.crc);
    s += facts;
    s += "  method " + method_name(e.method) + ", dictionary " +
         format_binary_size(dictionary_size(e.parameter)) + ", quality " + std::to_string(e.quality) +
         ", flags " + flag_names(e.flags) + "\n";
    if (e.has_comment)
        s += "  comment: " + e.comment + "\n";
    return s;
}

std::string json_string(const std::string& text)
{
    std::string s = "\"";
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const uint8_t c = p[i];
        if (c >= 0x80) {
            // One well-formed sequence as it is, anything else as U+FFFD.
            size_t length = 0;
            for (size_t k = 2; k <= 4 && i + k <= n && length == 0; k++)
                if (is_utf8_text(p + i, k))
                    length = k;
            if (length == 0) {
                s += "\\ufffd";
                i++;
            } else {
                s.append(text, i, length);
                i += length;
            }
            continue;
        }
        i++;
        switch (c) {
        case '"': s += "\\\""; break;
        case '\\': s += "\\\\"; break;
        case '\n': s += "\\n"; break;
        case '\r': s += "\\r"; break;
        case '\t': s += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", c);
                s += hex;
            } else {
                s += char(c);
            }
        }
    }
    return s + "\"";
}

std::string format_iso_time(uint32_t file_time)
{
    std::string t = format_dos_time(file_time);
    t[10] = 'T';
    return t;
}

std::string json_entry(const ListedEntry& e)
{
    std::string flags;
    const std::string names = flag_names(e.flags);
    if (names != "none") {
        // "data comment solid+0x0100": each name, the unknown bits as one hex word.
        std::string word;
        for (char c : names + " ") {
            if (c == ' ' || c == '+') {
                if (!word.empty())
                    flags += (flags.empty() ? "" : ", ") + json_string(word);
                word.clear();
            } else {
                word += c;
            }
        }
    }
    char facts[400];
    std::snprintf(facts, sizeof facts,
                  "\"folder\": %s, \"size\": %" PRIu32 ", \"packed\": %" PRIu64 ", \"time\": \"%s\", "
                  "\"attributes\": %" PRIu32 ", \"attribute_letters\": \"%s\", \"crc\": \"%08" PRIX32 "\", "
                  "\"method\": \"%s\", \"quality\": %u, \"dictionary\": %" PRIu64 ", ",
                  (e.attributes & ATTR_DIRECTORY) ? "true" : "false", e.size, e.packed,
                  format_iso_time(e.file_time).c_str(), e.attributes, format_attributes(e.attributes).c_str(), e.crc,
                  method_name(e.method).c_str(), unsigned(e.quality), dictionary_size(e.parameter));
    return "{\"name\": " + json_string(e.name_text) + ", " + facts + "\"flags\": [" + flags +
           "], \"volumes\": " + std::to_string(e.pieces) +
           ", \"comment\": " + (e.has_comment ? json_string(e.comment_text) : std::string("null")) + "}";
}
