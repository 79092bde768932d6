// The host of `kelvo l` and `kelvo v`: a row (or block) per entry as the
// job walks the file headers, the pieces of a split entry added up into
// one, and the total.
#pragma once

#include "tools/console_host.h"
#include "tools/listing.h"

class ListingHost : public ConsoleJobHost {
public:
    using ConsoleJobHost::ConsoleJobHost;

    void on_entry(JobContext& cx, const char* output_name) override;
    // l --json, v --json: one JSON document instead of the table.
    void set_json(bool json) { json_ = json; }
    // The end of that document (its start too when nothing was listed): for
    // an archive that could not be opened, an empty, incomplete listing.
    void print_json_end(bool complete);

private:
    void finish_command(JobContext& cx, bool unread) override;
    void list_header(JobContext& cx, bool continuation);
    void flush_listed();
    void print_listing_heading();

    void print_json_heading();

    bool json_ = false;
    bool heading_printed_ = false;
    uint32_t listed_count_ = 0;
    uint32_t volume_switches_ = 0;  // continuation headers walked: one per volume after the first
    bool have_listed_ = false;
    bool continuation_expected_ = false;
    bool entry_selected_ = true;
    ListedEntry listed_;
    ListingTotals totals_;
};
