#include "extract/host.h"

#include "extract/text.h"
#include "platform/platform.h"

void JobHost::show_message(const char* text) { platform_show_fatal(text); }
int JobHost::read_key() { return platform_read_key(); }
void JobHost::write_stdout_char(int c) { platform_write_stdout_char(c); }
void JobHost::flush_stdout() { platform_flush_stdout(); }
void JobHost::volume_prompt(const char* volume_name)
{
    char text[600] = "Insert the volume ";
    append_text(text, sizeof text, volume_name);
    append_text(text, sizeof text, " and press Y to continue or N to give up");
    platform_show_prompt(text);
}

void JobHost::match_name_case(char* archive_name) { platform_match_name_case(archive_name); }
bool JobHost::path_exists(const char* path) { return platform_path_exists(path); }
bool JobHost::make_directory(const char* path) { return platform_make_directory(path); }
bool JobHost::remove_directory(const char* path) { return platform_remove_directory(path); }
bool JobHost::delete_file(const char* path) { return platform_delete_file(path); }
int32_t JobHost::open_output(const char* path) { return platform_open_output(path); }
int32_t JobHost::write_output(int32_t fd, const void* data, uint32_t count)
{
    return platform_write(fd, data, count);
}
void JobHost::close_output(int32_t fd) { platform_close(fd); }
bool JobHost::remove_output(const char* path) { return platform_remove_file(path); }

void* JobHost::allocate(size_t size) { return platform_allocate(size); }
void JobHost::release(void* block) { platform_release(block); }

bool JobHost::select_entry(JobContext&, const char*) { return true; }
bool JobHost::may_replace(JobContext&, const char*) { return true; }
bool JobHost::reads_decoded_bytes() { return false; }

void JobHost::on_archive_opened(JobContext&) {}
void JobHost::on_entry(JobContext&, const char*) {}
void JobHost::on_data(JobContext&, uint32_t) {}
void JobHost::on_entry_end(JobContext&, const EntryEvent&) {}
void JobHost::on_walk_end(JobContext&, const WalkEvent&) {}

JobHost& default_job_host()
{
    static JobHost host;
    return host;
}
