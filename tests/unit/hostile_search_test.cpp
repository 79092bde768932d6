// The main-header search over junk: a rejected candidate whose header is
// long enough to be read in chunks must not change what the search sees
// next (the chunks pass through the buffer that holds the search window).
#include <gtest/gtest.h>

#include "archive/header.h"
#include "support/test_host.h"

namespace {

// Junk holding a bogus candidate: "**ACE**" behind a prefix that claims a
// body of body_size bytes, with a wrong CRC.
Bytes bogus_candidate(uint16_t body_size)
{
    Bytes b = {0x34, 0x12, uint8_t(body_size), uint8_t(body_size >> 8), 0x00, 0x00, 0x00};
    b.insert(b.end(), ACE_SIGNATURE, ACE_SIGNATURE + ACE_SIGNATURE_LENGTH);
    return b;
}

}  // namespace

TEST(HostileSearch, LongRejectedCandidateHidesNothingBehindIt)
{
    // The real archive starts 60 bytes in, inside the same 1024-byte window
    // as the bogus candidate, whose 3000-byte "body" runs over it.
    for (uint16_t body_size : {uint16_t(100), uint16_t(2041), uint16_t(3000), uint16_t(60000)}) {
        SCOPED_TRACE(body_size);
        Bytes data = bogus_candidate(body_size);
        data.resize(60, 'j');
        const Bytes archive = ArchiveWriter().main_header().stored_file("real.txt", Bytes(5000, 'r')).take();
        data.insert(data.end(), archive.begin(), archive.end());
        TestJob job;
        job.use_memory(data);
        ASSERT_EQ(job.open(), 1);
        EXPECT_EQ(job.cx.stream.stream_position, 60 + 4 + MAIN_FIXED_SIZE);
        ASSERT_EQ(read_header(job.cx, 1), 1);
        EXPECT_EQ(job.cx.reader.header.header_type, HEADER_TYPE_FILE);
    }
}

TEST(HostileSearch, NoCandidateWhereTheDataHasNoSignature)
{
    // Long bogus candidates, each followed by bytes that form a valid
    // empty header (CRC 0xFFFF, size 0) if taken for one: only a position
    // 7 bytes before a "**ACE**" of the data may be tried.
    Bytes data;
    while (data.size() < 8000) {
        Bytes c = bogus_candidate(0xFFFF);
        data.insert(data.end(), c.begin(), c.end());
        for (uint8_t b : {0xFF, 0xFF, 0x00, 0x00})
            data.push_back(b);
    }
    TestJob job;
    job.use_memory(data);
    EXPECT_EQ(job.open(), 0);
    EXPECT_EQ(job.host.messages, std::vector<std::string>{"Archive data is damaged"});
}
