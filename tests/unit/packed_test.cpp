#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/header.h"
#include "archive/packed.h"
#include "compress/archive_writer.h"
#include "support/test_host.h"

namespace {

const std::string VOLUME_DAMAGED = "Error while reading data. Archive seems to be damaged.";

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(i * 31 + seed);
    return b;
}

std::string name_of(const AceHeader& h)
{
    return std::string(reinterpret_cast<const char*>(h.file.variable), h.file.name_length);
}

std::string ends(const char* name, size_t n)
{
    std::string s(name);
    return s.size() <= n ? s : s.substr(s.size() - n);
}

// ---- One volume ----

struct PackedMemory : ::testing::Test {
    TestJob j;
    Bytes data = pattern(100, 1);

    void SetUp() override
    {
        ArchiveWriter w;
        w.main_header().stored_file("a", data).stored_file("b", pattern(7, 2));
        j.use_memory(w.bytes());
        ASSERT_EQ(j.open(), 1);
        ASSERT_EQ(read_header(j.cx, 1), 1);
    }
};

TEST_F(PackedMemory, DeliversTheDataAreaAndNoMore)
{
    Bytes got(4096, 0);
    EXPECT_EQ(read_packed(j.cx, got.data(), 4096), 100u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 100), data);
    EXPECT_EQ(got[100], 0);
    EXPECT_EQ(read_packed(j.cx, got.data(), 4096), 0u);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(j.cx.reader.header), "b");
}

TEST_F(PackedMemory, SmallRequestsInOrder)
{
    Bytes got;
    uint8_t buf[7];
    for (uint32_t n; (n = read_packed(j.cx, buf, 7)) > 0;)
        got.insert(got.end(), buf, buf + n);
    EXPECT_EQ(got, data);
}

TEST_F(PackedMemory, NothingForZeroBytesOrAFailedJob)
{
    uint8_t buf[8];
    EXPECT_EQ(read_packed(j.cx, buf, 0), 0u);
    EXPECT_EQ(j.cx.reader.packed_remaining, 100u);
    set_status(j.cx, STATUS_INTERRUPTED);
    EXPECT_EQ(read_packed(j.cx, buf, 8), 0u);
    EXPECT_EQ(j.cx.reader.packed_remaining, 100u);
}

TEST_F(PackedMemory, DataAreaCutOffByTheEnd)
{
    TestJob t;
    ArchiveWriter w;
    w.main_header().stored_file("a", data);
    Bytes cut = w.take();
    cut.resize(cut.size() - 40);
    t.use_memory(cut);
    ASSERT_EQ(t.open(), 1);
    ASSERT_EQ(read_header(t.cx, 1), 1);
    uint8_t buf[200];
    EXPECT_EQ(read_packed(t.cx, buf, 200), 60u);
    EXPECT_EQ(read_packed(t.cx, buf, 200), 0u);
    EXPECT_EQ(current_status(t.cx), STATUS_OK);
}

// ---- Volume sets on disk ----

struct Volumes : ::testing::Test {
    TempDir dir;
    TestJob j;
    std::vector<std::string> names;
    Bytes data = pattern(180, 5);

    void write(const std::vector<Bytes>& volumes)
    {
        names = volume_names(dir.file("set.ACE"), volumes.size());
        ASSERT_TRUE(write_volume_files(names[0], volumes));
    }
    // The set of three: pieces of 100, 50 and 30 bytes, then "after".
    void write_three(const std::vector<size_t>& pieces = {100, 50, 30})
    {
        VolumeSetWriter v(MainHeaderFields{});
        v.split_entry(stored_fields("big", data), data, pieces);
        v.stored_file("after", pattern(3, 9));
        write(v.finish());
    }
    void open_first()
    {
        j.use_files(names[0]);
        ASSERT_EQ(j.open(), 1);
        ASSERT_EQ(read_header(j.cx, 1), 1);
    }
    Bytes read_all()
    {
        Bytes got;
        uint8_t buf[64];
        for (uint32_t n; (n = read_packed(j.cx, buf, sizeof buf)) > 0;)
            got.insert(got.end(), buf, buf + n);
        return got;
    }
};

TEST_F(Volumes, SwitchHappensInTheCallThatUsesUpThePiece)
{
    write_three();
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    Bytes got(200, 0);
    EXPECT_EQ(read_packed(j.cx, got.data(), 100), 100u);
    EXPECT_EQ(ends(j.cx.job.archive_name, 7), "set.C00");
    EXPECT_EQ(j.cx.reader.packed_remaining, 50u);
    EXPECT_EQ(j.cx.reader.archive_volume_number, 1);
    EXPECT_EQ(read_packed(j.cx, got.data() + 100, 4096), 80u);
    EXPECT_EQ(ends(j.cx.job.archive_name, 7), "set.C01");
    got.resize(180);
    EXPECT_EQ(got, data);
    EXPECT_EQ(read_packed(j.cx, got.data(), 4096), 0u);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(j.cx.reader.header), "after");
    EXPECT_EQ(j.host.bells(), 0);
    EXPECT_TRUE(j.host.messages.empty());
}

TEST_F(Volumes, OneCallSpansEveryVolume)
{
    write_three();
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    Bytes got(180);
    EXPECT_EQ(read_packed(j.cx, got.data(), 180), 180u);
    EXPECT_EQ(got, data);
    EXPECT_EQ(ends(j.cx.job.archive_name, 7), "set.C01");
}

TEST_F(Volumes, EmptyContinuedPieceEndsTheData)
{
    data.resize(150);
    write_three({100, 0, 50});
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    EXPECT_EQ(read_all(), Bytes(data.begin(), data.begin() + 100));
    EXPECT_EQ(ends(j.cx.job.archive_name, 7), "set.C00");
    EXPECT_NE(j.cx.reader.header.header_flags & FLAG_CONTINUED_NEXT, 0);
}

TEST_F(Volumes, EmptyFirstPieceNeverSwitches)
{
    data.resize(50);
    write_three({0, 50});
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    EXPECT_TRUE(read_all().empty());
    EXPECT_EQ(ends(j.cx.job.archive_name, 7), "set.ACE");
}

TEST_F(Volumes, MissingVolumeWithoutAsking)
{
    write_three();
    std::remove(names[1].c_str());
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    uint8_t buf[200];
    EXPECT_EQ(read_packed(j.cx, buf, 200), 100u);
    EXPECT_EQ(current_status(j.cx), STATUS_VOLUME_OPEN_FAILED);
    EXPECT_EQ(j.host.messages, (std::vector<std::string>{"Damaged archive", VOLUME_DAMAGED}));
    EXPECT_EQ(j.host.bells(), 0);
    EXPECT_TRUE(j.host.prompts.empty());
    EXPECT_EQ(read_packed(j.cx, buf, 200), 0u);
}

TEST_F(Volumes, AskBeforeAPresentVolumeOnlyUntilAnsweredYes)
{
    write_three();
    open_first();
    j.host.keys = {'x', 'y'};
    EXPECT_EQ(read_all(), data);
    // Asked once, before .C00; after the yes only missing volumes are asked for.
    EXPECT_EQ(j.host.bells(), 1);
    EXPECT_EQ(j.host.prompts, std::vector<std::string>{names[1]});
    EXPECT_EQ(j.cx.packed.volume_prompt_mode, PROMPT_WHEN_MISSING);
    EXPECT_EQ(current_status(j.cx), STATUS_OK);
}

TEST_F(Volumes, NoAtThePromptGivesUpWithoutOpening)
{
    write_three();
    open_first();
    j.host.keys = {'n'};
    uint8_t buf[200];
    EXPECT_EQ(read_packed(j.cx, buf, 200), 100u);
    EXPECT_EQ(current_status(j.cx), STATUS_CANCELLED);
    EXPECT_EQ(j.cx.packed.volume_prompt_mode, PROMPT_ALWAYS);
    EXPECT_TRUE(j.host.messages.empty());
    EXPECT_EQ(j.cx.reader.archive_volume_number, 0);
}

TEST_F(Volumes, MissingVolumeAskedAgainUntilEndOfInput)
{
    write_three();
    std::remove(names[1].c_str());
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_WHEN_MISSING;
    j.host.keys = {'q', 'Y'};
    uint8_t buf[200];
    EXPECT_EQ(read_packed(j.cx, buf, 200), 100u);
    EXPECT_EQ(current_status(j.cx), STATUS_CANCELLED);
    EXPECT_EQ(j.host.bells(), 2);
    EXPECT_EQ(j.host.prompts.size(), 2u);
    EXPECT_EQ(j.host.keys_read, 3);
    EXPECT_TRUE(j.host.messages.empty());
}

TEST_F(Volumes, NoConsoleGivesUpAtOnce)
{
    write_three();
    open_first();
    // mode 0 asks even for a present volume; no key can ever come.
    uint8_t buf[200];
    EXPECT_EQ(read_packed(j.cx, buf, 200), 100u);
    EXPECT_EQ(current_status(j.cx), STATUS_CANCELLED);
    EXPECT_EQ(j.host.keys_read, 1);
    EXPECT_EQ(j.host.bells(), 1);
}

// Ctrl+C while the prompt waits: the handler stores 255 in the job's
// status, and the key read comes back empty-handed.
class InterruptedPrompt : public TestHost {
public:
    JobContext* cx = nullptr;
    int read_key() override
    {
        keys_read++;
        set_status(*cx, STATUS_INTERRUPTED);
        return -1;
    }
};

TEST_F(Volumes, InterruptAtThePromptEndsWithTheInterruptStatus)
{
    write_three();
    std::remove(names[1].c_str());
    open_first();
    InterruptedPrompt host;
    host.cx = &j.cx;
    j.cx.host = &host;
    uint8_t buf[200];
    EXPECT_EQ(read_packed(j.cx, buf, 200), 100u);
    EXPECT_EQ(current_status(j.cx), STATUS_INTERRUPTED);
    EXPECT_EQ(host.keys_read, 1);  // asked once, not again
    EXPECT_TRUE(host.messages.empty());
}

// The user puts the volume in place while the prompt waits.
class VolumeArrives : public TestHost {
public:
    std::string path;
    Bytes bytes;
    int read_key() override
    {
        if (!path.empty())
            write_bytes_file(path, bytes);
        path.clear();
        return TestHost::read_key();
    }
};

TEST_F(Volumes, VolumeThatAppearsWhileAsked)
{
    for (int32_t mode : {PROMPT_ALWAYS, PROMPT_WHEN_MISSING}) {
        TempDir fresh;
        VolumeSetWriter v(MainHeaderFields{});
        v.split_entry(stored_fields("big", data), data, {100, 80});
        std::vector<Bytes> vols = v.finish();
        names = volume_names(fresh.file("set.ACE"), 2);
        ASSERT_TRUE(write_bytes_file(names[0], vols[0]));
        VolumeArrives host;
        host.path = names[1];
        host.bytes = vols[1];
        host.keys = {'a'};
        TestJob t;
        t.cx.host = &host;
        t.use_files(names[0]);
        ASSERT_EQ(t.open(), 1);
        ASSERT_EQ(read_header(t.cx, 1), 1);
        t.cx.packed.volume_prompt_mode = mode;
        Bytes got(200);
        EXPECT_EQ(read_packed(t.cx, got.data(), 200), 180u) << mode;
        got.resize(180);
        EXPECT_EQ(got, data);
        EXPECT_EQ(host.bells(), 1);
        EXPECT_EQ(host.prompts, std::vector<std::string>{names[1]});
        EXPECT_EQ(current_status(t.cx), STATUS_OK);
        EXPECT_EQ(t.cx.packed.volume_prompt_mode, PROMPT_WHEN_MISSING);
    }
}

TEST_F(Volumes, NextVolumeWithoutMainHeader)
{
    write_three();
    ASSERT_TRUE(write_bytes_file(names[1], Bytes(500, 'j')));
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    uint8_t buf[200];
    EXPECT_EQ(read_packed(j.cx, buf, 200), 100u);
    EXPECT_EQ(current_status(j.cx), STATUS_VOLUME_OPEN_FAILED);
    EXPECT_EQ(j.host.messages,
              (std::vector<std::string>{"Archive data is damaged", VOLUME_DAMAGED}));
}

TEST_F(Volumes, DamagedContinuedHeader)
{
    VolumeSetWriter v(MainHeaderFields{});
    v.split_entry(stored_fields("big", data), data, {100, 50, 30});
    std::vector<Bytes> vols = v.finish();
    damage_byte(vols[1], 31 + 10);
    write(vols);
    open_first();
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    uint8_t buf[200];
    EXPECT_EQ(read_packed(j.cx, buf, 200), 100u);
    EXPECT_EQ(current_status(j.cx), STATUS_READ_FAILED);
    EXPECT_TRUE(j.host.messages.empty());
}

// With a memory stream every volume is the same archive, so an entry that
// says it continues continues into itself. The names run out after .999,
// which ends the chain.
TEST(VolumeChain, EndsAfterTheLastName)
{
    TestJob j;
    FileHeaderFields f = stored_fields("loop", Bytes(3, 1));
    f.flags = FLAG_CONTINUED_NEXT;
    ArchiveWriter w;
    w.main_header().file_entry(f, Bytes(3, 1));
    j.use_memory(w.bytes(), "loop.ACE");
    ASSERT_EQ(j.open(), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    uint64_t total = 0;
    uint8_t buf[4096];
    for (uint32_t n; (n = read_packed(j.cx, buf, sizeof buf)) > 0;)
        total += n;
    EXPECT_EQ(total, 3u * 1001);  // .ACE, .C00 to .C99, .100 to .999
    EXPECT_STREQ(j.cx.job.archive_name, "loop.999");
    EXPECT_EQ(current_status(j.cx), STATUS_VOLUME_OPEN_FAILED);
    EXPECT_EQ(j.host.messages, std::vector<std::string>{VOLUME_DAMAGED});
}

TEST(VolumeKeys, AnswersAndIgnoredKeys)
{
    struct Case {
        std::deque<int> keys;
        int answer;
        int keys_read;
    } cases[] = {
        {{'y'}, VOLUME_KEY_CONTINUE, 1},  {{'Y'}, VOLUME_KEY_CONTINUE, 1},
        {{'a'}, VOLUME_KEY_CONTINUE, 1},  {{'A'}, VOLUME_KEY_CONTINUE, 1},
        {{'n'}, VOLUME_KEY_GIVE_UP, 1},   {{'N'}, VOLUME_KEY_GIVE_UP, 1},
        {{'c'}, VOLUME_KEY_GIVE_UP, 1},   {{27}, VOLUME_KEY_GIVE_UP, 1},
        {{'x', 'z', '\n', ' ', 'y'}, VOLUME_KEY_CONTINUE, 5},
        {{'Z' + 32 + 1, 'b', 'n'}, VOLUME_KEY_GIVE_UP, 3},
        {{}, VOLUME_KEY_GIVE_UP, 1},      {{'q'}, VOLUME_KEY_GIVE_UP, 2},
    };
    for (const Case& c : cases) {
        TestJob j;
        j.host.keys = c.keys;
        EXPECT_EQ(ask_volume_key(j.cx), c.answer);
        EXPECT_EQ(j.host.keys_read, c.keys_read);
    }
}

TEST(VolumeKeys, BellIsCharacterSeven)
{
    TestJob j;
    ring_bell(j.cx);
    EXPECT_EQ(j.host.stdout_chars, std::string(1, '\a'));
}

// ---- Volume names ----

std::string next_name(const std::string& before, int* result = nullptr)
{
    char name[NAME_CAPACITY] = {};
    std::memcpy(name, before.c_str(), before.size() + 1);
    int r = next_volume_name(name);
    if (result)
        *result = r;
    return name;
}

TEST(VolumeNames, TheNameTable)
{
    const char* table[][2] = {
        {"archive.ACE", "archive.C00"}, {"archive.ace", "archive.C00"},
        {"archive.C00", "archive.C01"}, {"archive.C09", "archive.C10"},
        {"archive.C98", "archive.C99"}, {"archive.C99", "archive.100"},
        {"archive.100", "archive.101"}, {"archive.998", "archive.999"},
        // Rules beyond the table.
        {"archive.c05", "archive.C06"},       {"archive.C00.x", "archive.C00.C00"},
        {"archive.ACEX", "archive.C00X"},     {"archive.C41X", "archive.C42X"},
        {"archive.5A7", "archive.500"},       {"a.b\\archive.ACE", "a.b\\archive.C00"},
        {"archive.\xE9\xE9\xE9", "archive.C00"}, {"archive.189", "archive.190"},
    };
    for (auto& row : table) {
        int r = 0;
        EXPECT_EQ(next_name(row[0], &r), row[1]) << row[0];
        EXPECT_EQ(r, 1) << row[0];
    }
}

TEST(VolumeNames, ShortExtensionsGrowToThree)
{
    EXPECT_EQ(next_name("archive."), "archive.C00");
    EXPECT_EQ(next_name("archive.A"), "archive.C00");
    EXPECT_EQ(next_name("archive.AC"), "archive.C00");
    EXPECT_EQ(next_name("archive.1"), "archive.100");
    EXPECT_EQ(next_name("."), ".C00");
}

TEST(VolumeNames, NamesWithoutANextOne)
{
    // Past .999, no extension in the last component: unchanged, result 0.
    for (const char* name : {"archive.999", "archive", "a.b\\archive", "a.b/archive", ""}) {
        int r = 1;
        EXPECT_EQ(next_name(name, &r), name);
        EXPECT_EQ(r, 0) << name;
    }
}

TEST(VolumeNames, NoRoomForTheExtensionAtTheEndOfTheBuffer)
{
    // A dot at index 507 leaves room for three characters and the
    // terminator (indexes 508..511); at 508 it does not.
    std::string fits = std::string(507, 'n') + ".";
    int r = 0;
    std::string after = next_name(fits, &r);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(after, fits + "C00");
    EXPECT_EQ(after.size(), 511u);

    std::string full = std::string(508, 'n') + ".";
    EXPECT_EQ(next_name(full, &r), full);
    EXPECT_EQ(r, 0);
    // A three-character extension is rewritten in place even at the end.
    std::string last = std::string(507, 'n') + ".C07";
    EXPECT_EQ(next_name(last, &r), std::string(507, 'n') + ".C08");
    EXPECT_EQ(r, 1);
}

TEST(VolumeNames, JobBufferAndWriterAgree)
{
    TestJob j;
    std::strcpy(j.cx.job.archive_name, "kelvo.ACE");
    std::vector<std::string> names = volume_names("kelvo.ACE", 103);
    ASSERT_EQ(names.size(), 103u);
    for (size_t i = 1; i < names.size(); i++) {
        ASSERT_EQ(next_volume_name(j.cx), 1);
        EXPECT_EQ(j.cx.job.archive_name, names[i]);
    }
    EXPECT_EQ(names[1], "kelvo.C00");
    EXPECT_EQ(names[101], "kelvo.100");
    EXPECT_EQ(names[102], "kelvo.101");
}

}  // namespace
