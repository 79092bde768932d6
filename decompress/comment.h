// Packed file comments, decoded in place in the header record.
#pragma once

struct JobContext;

constexpr int RECENT_POSITION_COUNT = 511;

void decode_file_comment(JobContext& cx);
