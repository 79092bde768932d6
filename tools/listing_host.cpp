#include "tools/listing_host.h"

#include <cinttypes>

#include "archive/header.h"
#include "decompress/comment.h"
#include "extract/job.h"
#include "tools/archive_info.h"
#include "tools/text_output.h"

void ListingHost::on_entry(JobContext& cx, const char* output_name)
{
    if (output_name != nullptr)
        return;
    if (continuation_expected_)
        volume_switches_++;
    // The pieces of a split entry follow its first: selected with it.
    if (!continuation_expected_)
        entry_selected_ = selected(cx);
    if (entry_selected_)
        list_header(cx, continuation_expected_);
    else
        continuation_expected_ = (cx.reader.header.header_flags & FLAG_CONTINUED_NEXT) != 0;
}

void ListingHost::print_listing_heading()
{
    if (heading_printed_)
        return;
    heading_printed_ = true;
    if (json_) {
        print_json_heading();
        return;
    }
    tool_fprintf(out_, "Archive %s", archive_name_.c_str());
    if (info_) {
        if (info_->solid)
            tool_fputs(" (solid)", out_);
        std::fputc('\n', out_);
        if (command_ == ConsoleCommand::LIST_VERBOSE) {
            tool_fprintf(out_, "  created %s, version %u needed, made by version %u on system %u\n",
                         format_dos_time(info_->creation_time).c_str(), unsigned(info_->version_needed),
                         unsigned(info_->version_made), unsigned(info_->host_system));
            if (!info_->info_text.empty())
                tool_fprintf(out_, "  info: %s\n", info_->info_text.c_str());
            if (info_->has_comment)
                tool_fprintf(out_, "  comment: %s\n", info_->comment.c_str());
        }
    } else {
        std::fputc('\n', out_);
    }
    std::fputc('\n', out_);
    if (command_ == ConsoleCommand::LIST)
        tool_fputs(listing_heading().c_str(), out_);
}

void ListingHost::print_json_heading()
{
    std::string s = "{\"archive\": " + json_string(archive_name_);
    if (info_) {
        s += ", \"solid\": " + std::string(info_->solid ? "true" : "false") +
             ", \"volume\": " + std::to_string(info_->volume_number) +
             ", \"created\": \"" + format_iso_time(info_->creation_time) +
             "\", \"version_needed\": " + std::to_string(info_->version_needed) +
             ", \"version_made\": " + std::to_string(info_->version_made) +
             ", \"host_system\": " + std::to_string(info_->host_system) + ", \"info\": " +
             json_string(info_->info_raw) +
             ", \"comment\": " + (info_->has_comment ? json_string(info_->comment_raw) : std::string("null"));
    }
    s += ",\n \"entries\": [";
    tool_fputs(s.c_str(), out_);
}

void ListingHost::list_header(JobContext& cx, bool continuation)
{
    const AceHeader& h = cx.reader.header;
    if (continuation && have_listed_) {
        listed_.packed += h.file.packed_size;
        listed_.pieces++;
        listed_.flags = uint16_t(listed_.flags & ~FLAG_CONTINUED_NEXT);
    } else {
        flush_listed();
        listed_ = listed_entry_from(h);
        if (command_ == ConsoleCommand::LIST_VERBOSE || json_) {
            // The job does not decode comments while it walks; the record is
            // ours to decode in place until the next header is read.
            decode_file_comment(cx);
            listed_.has_comment = decoded_comment_of(h, &listed_.comment, &listed_.comment_text);
        }
        have_listed_ = true;
    }
    continuation_expected_ = (h.header_flags & FLAG_CONTINUED_NEXT) != 0;
}

void ListingHost::flush_listed()
{
    if (!have_listed_)
        return;
    have_listed_ = false;
    print_listing_heading();
    add_to_totals(&totals_, listed_);
    if (json_)
        tool_fprintf(out_, "%s\n  %s", listed_count_++ ? "," : "", json_entry(listed_).c_str());
    else if (command_ == ConsoleCommand::LIST)
        tool_fputs(listing_row(listed_).c_str(), out_);
    else
        tool_fputs(verbose_block(listed_).c_str(), out_);
    std::fflush(out_);
}

// One document whatever happened: "complete" says whether the walk read
// the whole archive without a fault (the exit code says why not).
void ListingHost::print_json_end(bool complete)
{
    print_listing_heading();
    tool_fprintf(out_,
                 "%s],\n \"volumes\": %" PRIu32 ", \"files\": %" PRIu32 ", \"folders\": %" PRIu32
                 ", \"size\": %" PRIu64 ", \"packed\": %" PRIu64 ", \"complete\": %s}\n",
                 listed_count_ ? "\n " : "", volume_switches_ + (info_ ? 1 : 0), totals_.files, totals_.folders,
                 totals_.size, totals_.packed, complete ? "true" : "false");
    std::fflush(out_);
}

void ListingHost::finish_command(JobContext& cx, bool unread)
{
    flush_listed();
    if (json_) {
        print_json_end(current_status(cx) == STATUS_OK && !unread);
        return;
    }
    // A listing is printed whole only for an archive that opened.
    if (heading_printed_ || (current_status(cx) == STATUS_OK && info_)) {
        print_listing_heading();
        if (command_ == ConsoleCommand::LIST)
            tool_fputs(listing_total(totals_).c_str(), out_);
        else
            tool_fprintf(out_, "\n%s, %" PRIu64 " bytes, packed %" PRIu64 " (%s)\n",
                         count_text(totals_.files, totals_.folders).c_str(), totals_.size, totals_.packed,
                         format_ratio(totals_.packed, totals_.size).c_str());
    }
}
