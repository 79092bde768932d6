#include "tools/listing_host.h"

#include <cinttypes>

#include "archive/header.h"
#include "decompress/comment.h"
#include "extract/job.h"
#include "tools/archive_info.h"

void ListingHost::on_entry(JobContext& cx, const char* output_name)
{
    if (output_name != nullptr)
        return;
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
    std::fprintf(out_, "Archive %s", archive_name_.c_str());
    if (info_) {
        if (info_->solid)
            std::fputs(" (solid)", out_);
        std::fputc('\n', out_);
        if (command_ == ConsoleCommand::LIST_VERBOSE) {
            std::fprintf(out_, "  created %s, version %u needed, made by version %u on system %u\n",
                         format_dos_time(info_->creation_time).c_str(), unsigned(info_->version_needed),
                         unsigned(info_->version_made), unsigned(info_->host_system));
            if (!info_->info_text.empty())
                std::fprintf(out_, "  info: %s\n", info_->info_text.c_str());
            if (info_->has_comment)
                std::fprintf(out_, "  comment: %s\n", info_->comment.c_str());
        }
    } else {
        std::fputc('\n', out_);
    }
    std::fputc('\n', out_);
    if (command_ == ConsoleCommand::LIST)
        std::fputs(listing_heading().c_str(), out_);
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
        if (command_ == ConsoleCommand::LIST_VERBOSE) {
            // The job does not decode comments while it walks; the record is
            // ours to decode in place until the next header is read.
            decode_file_comment(cx);
            listed_.has_comment = decoded_comment_of(h, &listed_.comment);
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
    if (command_ == ConsoleCommand::LIST)
        std::fputs(listing_row(listed_).c_str(), out_);
    else
        std::fputs(verbose_block(listed_).c_str(), out_);
    std::fflush(out_);
}

void ListingHost::finish_command(JobContext& cx, bool)
{
    flush_listed();
    // A listing is printed whole only for an archive that opened.
    if (heading_printed_ || (current_status(cx) == STATUS_OK && info_)) {
        print_listing_heading();
        if (command_ == ConsoleCommand::LIST)
            std::fputs(listing_total(totals_).c_str(), out_);
        else
            std::fprintf(out_, "\n%s, %" PRIu64 " bytes, packed %" PRIu64 " (%s)\n",
                         count_text(totals_.files, totals_.folders).c_str(), totals_.size, totals_.packed,
                         format_ratio(totals_.packed, totals_.size).c_str());
    }
}
