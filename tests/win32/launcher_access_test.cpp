// The Windows side of the private folder and its clean-up, looked at with
// the system's own calls: the folder's access list, and a junction that is
// removed as itself.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "launcher/os.h"

namespace {

// A fresh folder under the temporary folder, removed afterwards. (The
// shared test support includes the engine's status names, which collide
// with windows.h.)
class TempDir {
public:
    TempDir()
    {
        static int count = 0;
        path_ = (std::filesystem::temp_directory_path() /
                 ("kelvo-access-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(count++)))
                    .string();
        std::filesystem::create_directories(path_);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

}  // namespace

// The folder's access list: protected, one entry, the current user.
bool admits_the_user_alone(const std::string& path, std::string& why)
{
    alignas(8) uint8_t descriptor[4096];
    DWORD needed = 0;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    void* ace = nullptr;
    if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed) ||
        !GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl) {
        why = "no access list";
        return false;
    }
    if (!(control & SE_DACL_PROTECTED) || acl->AceCount != 1 || !GetAce(acl, 0, &ace)) {
        why = "not protected, or " + std::to_string(acl->AceCount) + " entries";
        return false;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    HANDLE token;
    alignas(8) uint8_t user[256];
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    BOOL got = GetTokenInformation(token, TokenUser, user, sizeof user, &needed);
    CloseHandle(token);
    if (!got || allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
        !EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &allowed->SidStart)) {
        why = "the entry is not the current user's";
        return false;
    }
    return true;
}

TEST(LauncherAccess, PrivateFolderAdmitsTheUserAloneAndInheritsNothing)
{
    TempDir dir;
    // Wine accepts access lists on files and keeps none (it reports one
    // made from the Unix mode): there the check would be of Wine itself.
    const std::string probe = dir.file("probe");
    ASSERT_TRUE(CreateDirectoryA(probe.c_str(), nullptr));
    alignas(8) uint8_t descriptor[4096];
    DWORD needed = 0;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetFileSecurityA(probe.c_str(), DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed));
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    SetSecurityDescriptorControl(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    SetFileSecurityA(probe.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
    ASSERT_TRUE(GetFileSecurityA(probe.c_str(), DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed));
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    if (!(control & SE_DACL_PROTECTED))
        GTEST_SKIP() << "this system keeps no access lists on files (Wine)";

    const std::string path = dir.file("private");
    ASSERT_EQ(platform_make_private_directory(path.c_str()), MakeOutcome::MADE);
    std::string why;
    EXPECT_TRUE(admits_the_user_alone(path, why)) << why;
}

// A junction (a folder reparse point) made by hand; false where the file
// system takes none.
bool make_junction(const std::string& link, const std::string& target)
{
    if (!CreateDirectoryA(link.c_str(), nullptr))
        return false;
    HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    char full[MAX_PATH];
    GetFullPathNameA(target.c_str(), MAX_PATH, full, nullptr);
    std::wstring name = L"\\??\\";
    for (const char* p = full; *p; p++)
        name += wchar_t(*p);
    struct {
        DWORD tag;
        WORD data_length, reserved, substitute_offset, substitute_length, print_offset, print_length;
        WCHAR names[MAX_PATH + 8];
    } buffer = {};
    const WORD bytes = WORD(name.size() * sizeof(WCHAR));
    buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buffer.names, name.c_str(), bytes);
    buffer.substitute_length = bytes;
    buffer.print_offset = WORD(bytes + sizeof(WCHAR));
    buffer.data_length = WORD(8 + bytes + 2 * sizeof(WCHAR));
    DWORD returned;
    BOOL set = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &buffer, 8 + buffer.data_length, nullptr, 0, &returned,
                               nullptr);
    CloseHandle(h);
    if (!set)
        RemoveDirectoryA(link.c_str());
    return set;
}

TEST(LauncherAccess, JunctionIsListedAsAFileAndRemovedAsItself)
{
    TempDir dir;
    const std::string target = dir.file("target"), link = dir.file("junction");
    ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
    std::ofstream(target + "\\precious.txt") << "must survive";
    if (!make_junction(link, target))
        GTEST_SKIP() << "no junctions here (error " << GetLastError() << ")";

    int seen = 0;
    bool as_folder = true;
    struct Look {
        int* seen;
        bool* as_folder;
    } look{&seen, &as_folder};
    auto visit = [](void* context, const char* name, bool is_folder) {
        auto* l = static_cast<Look*>(context);
        if (std::strcmp(name, "junction") == 0) {
            ++*l->seen;
            *l->as_folder = is_folder;
        }
        return true;
    };
    ASSERT_TRUE(platform_list_directory(dir.path().c_str(), visit, &look));
    EXPECT_EQ(seen, 1);
    EXPECT_FALSE(as_folder);
    EXPECT_EQ(platform_delete_scratch_file(link.c_str()), RemoveOutcome::REMOVED);
    EXPECT_EQ(GetFileAttributesA(link.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA((target + "\\precious.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}
