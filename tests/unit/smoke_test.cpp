#include <gtest/gtest.h>

#include "extract/job.h"

TEST(JobContext, StartsZeroed)
{
    JobContext cx;
    EXPECT_EQ(current_status(cx), STATUS_OK);
    EXPECT_EQ(cx.job.crc_failed, 0);
    EXPECT_EQ(cx.reader.packed_remaining, 0u);
    EXPECT_EQ(cx.packed.volume_prompt_mode, 0);
}
