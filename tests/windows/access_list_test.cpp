// Who else may use the secret file on Windows: the verdict on security
// descriptors written out in SDDL, then on real files.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/access_list_windows.h"
#include "driver/secret_file.h"

namespace {

// The user the verdict is asked for, and another one: %U and %O in a case.
constexpr const char* USER = "S-1-5-21-1-2-3-1000";
constexpr const char* OTHER = "S-1-5-21-1-2-3-1001";

std::string replaced(std::string text, const std::string& mark, const std::string& by)
{
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size()))
        text.replace(at, mark.size(), by);
    return text;
}

std::string with_sids(const std::string& sddl, const std::string& user)
{
    return replaced(replaced(sddl, "%U", user), "%O", OTHER);
}

struct Descriptor {
    PSECURITY_DESCRIPTOR sd = nullptr;
    explicit Descriptor(const std::string& sddl)
    {
        EXPECT_NE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr),
                  FALSE)
            << sddl << ": error " << GetLastError();
    }
    ~Descriptor() { LocalFree(sd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

struct Sid {
    PSID sid = nullptr;
    explicit Sid(const char* text) { EXPECT_NE(ConvertStringSidToSidA(text, &sid), FALSE) << text; }
    ~Sid() { LocalFree(sid); }
    Sid(const Sid&) = delete;
    Sid& operator=(const Sid&) = delete;
};

struct VerdictCase {
    const char* name;
    const char* sddl;
    bool open;
};

TEST(AccessList, OnlyTheUserTheSystemAndTheAdministratorsMayUseTheFile)
{
    const VerdictCase cases[] = {
        {"the user alone", "O:%UD:(A;;FA;;;%U)", false},
        {"as in a profile folder", "O:%UD:(A;;FA;;;%U)(A;;FA;;;SY)(A;;FA;;;BA)", false},
        {"owned by the Administrators", "O:BAD:(A;;FA;;;BA)(A;;FR;;;%U)", false},
        {"owned by SYSTEM", "O:SYD:(A;;FA;;;%U)", false},
        {"no owner given", "D:(A;;FA;;;%U)", false},
        {"an empty DACL", "O:%UD:", false},
        // As on Linux, whose file it is does not count, only who may use it.
        {"owned by another user", "O:%OD:(A;;FA;;;%U)", false},
        // Who else may read.
        {"Everyone reads", "O:%UD:(A;;FA;;;%U)(A;;FR;;;WD)", true},
        {"Authenticated Users read", "O:%UD:(A;;FA;;;%U)(A;;GR;;;AU)", true},
        {"Users read and execute", "O:%UD:(A;;FA;;;%U)(A;;0x1200a9;;;BU)", true},
        {"another user has all", "O:%UD:(A;;FA;;;%U)(A;;GA;;;%O)", true},
        {"read data alone", "O:%UD:(A;;FA;;;%U)(A;;0x1;;;WD)", true},
        // Who else may write, or change who may.
        {"Everyone writes", "O:%UD:(A;;FA;;;%U)(A;;FW;;;WD)", true},
        {"generic write", "O:%UD:(A;;FA;;;%U)(A;;GW;;;BU)", true},
        {"append alone", "O:%UD:(A;;FA;;;%U)(A;;0x4;;;WD)", true},
        {"WRITE_DAC", "O:%UD:(A;;FA;;;%U)(A;;0x40000;;;WD)", true},
        {"WRITE_OWNER", "O:%UD:(A;;FA;;;%U)(A;;0x80000;;;WD)", true},
        // What others may hold.
        {"attributes and the access list", "O:%UD:(A;;FA;;;%U)(A;;0x120088;;;WD)", false},
        {"execute", "O:%UD:(A;;FA;;;%U)(A;;GX;;;WD)", false},
        {"Everyone denied", "O:%UD:(A;;FA;;;%U)(D;;FA;;;WD)", false},
        {"inherit-only", "O:%UD:(A;;FA;;;%U)(A;OICIIO;GR;;;WD)", false},
        // An ACE that is also inherited applies to the file itself.
        {"inherited by children too", "O:%UD:(A;;FA;;;%U)(A;OICI;GR;;;WD)", true},
        // A deny ACE is not weighed against an allowing one.
        {"denied, then allowed", "O:%UD:(A;;FA;;;%U)(D;;FR;;;WD)(A;;FR;;;WD)", true},
    };
    const Sid user(USER);
    for (const VerdictCase& c : cases) {
        const Descriptor descriptor(with_sids(c.sddl, USER));
        if (descriptor.sd == nullptr)
            continue;
        EXPECT_EQ(access_list_open_to_others(descriptor.sd, user.sid), c.open) << c.name << ": " << c.sddl;
    }
}

// What SDDL does not carry through Wine's parser: a NULL DACL, no DACL at
// all, and an object ACE (of directory objects, not read here).
TEST(AccessList, WithoutADaclOrWithAnAceOfAnotherKindTheFileIsOpen)
{
    const Sid user(USER);
    const Sid other(OTHER);
    alignas(DWORD) unsigned char acl_bytes[256];
    auto* acl = reinterpret_cast<PACL>(acl_bytes);
    ASSERT_NE(InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION_DS), FALSE);
    ASSERT_NE(AddAccessAllowedAce(acl, ACL_REVISION_DS, FILE_ALL_ACCESS, user.sid), FALSE);
    // ACCESS_ALLOWED_OBJECT_ACE without its GUIDs: header, mask, flags, SID.
    alignas(DWORD) unsigned char ace[sizeof(ACE_HEADER) + 2 * sizeof(DWORD) + SECURITY_MAX_SID_SIZE] = {};
    const DWORD sid_size = GetLengthSid(other.sid);
    const auto ace_size = static_cast<WORD>(sizeof(ACE_HEADER) + 2 * sizeof(DWORD) + sid_size);
    const ACE_HEADER header = {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, ace_size};
    const DWORD mask = FILE_READ_DATA;
    std::memcpy(ace, &header, sizeof header);
    std::memcpy(ace + sizeof header, &mask, sizeof mask);
    ASSERT_NE(CopySid(sid_size, ace + sizeof header + 2 * sizeof(DWORD), other.sid), FALSE);
    ASSERT_NE(AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace, ace_size), FALSE) << GetLastError();

    const struct {
        const char* name;
        BOOL present;
        PACL dacl;
    } cases[] = {{"a NULL DACL", TRUE, nullptr}, {"no DACL", FALSE, nullptr}, {"an object ACE", TRUE, acl}};
    for (const auto& c : cases) {
        SECURITY_DESCRIPTOR sd;
        ASSERT_NE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), FALSE);
        ASSERT_NE(SetSecurityDescriptorDacl(&sd, c.present, c.dacl, FALSE), FALSE);
        EXPECT_TRUE(access_list_open_to_others(&sd, user.sid)) << c.name;
    }
}

// The user this test runs as, in SDDL.
std::string token_user()
{
    HANDLE token = nullptr;
    EXPECT_NE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token), FALSE);
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    EXPECT_NE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size), FALSE);
    CloseHandle(token);
    char* text = nullptr;
    EXPECT_NE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text), FALSE);
    std::string sid = text != nullptr ? text : "";
    LocalFree(text);
    return sid;
}

struct FileCase {
    const char* name;
    const char* sddl; // the DACL set on the file
    SecretFile verdict;
};

// Only what Wine keeps: it stores no access list but turns it into the Unix
// mode bits (the user's and 'other' ones) and builds the list back from
// them, so an ACE for Everyone survives and one for any other SID is lost.
TEST(AccessList, SecretFilesAreJudgedByTheirOwnAccessList)
{
    const FileCase cases[] = {
        {"the user alone", "D:P(A;;FA;;;%U)", SecretFile::read},
        {"the user and SYSTEM", "D:P(A;;FA;;;%U)(A;;FA;;;SY)", SecretFile::read},
        {"Everyone reads", "D:P(A;;FA;;;%U)(A;;FR;;;WD)", SecretFile::open_to_others},
        {"Everyone writes", "D:P(A;;FA;;;%U)(A;;FW;;;WD)", SecretFile::open_to_others},
    };
    const std::string user = token_user();
    ASSERT_FALSE(user.empty());
    char folder[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof folder, folder), 0U);
    char path[MAX_PATH];
    ASSERT_NE(GetTempFileNameA(folder, "qln", 0, path), 0U);
    for (const FileCase& c : cases) {
        std::FILE* file = std::fopen(path, "wb");
        ASSERT_NE(file, nullptr) << path;
        std::fputs("s3cret\r\n", file);
        std::fclose(file);
        const Descriptor descriptor(with_sids(c.sddl, user));
        ASSERT_NE(descriptor.sd, nullptr);
        ASSERT_NE(SetFileSecurityA(path, DACL_SECURITY_INFORMATION, descriptor.sd), FALSE)
            << c.name << ": error " << GetLastError();
        char secret[32] = "";
        EXPECT_EQ(read_secret_file(path, secret, sizeof secret), c.verdict) << c.name;
        EXPECT_STREQ(secret, c.verdict == SecretFile::read ? "s3cret" : "") << c.name;
    }
    EXPECT_NE(DeleteFileA(path), FALSE);
}

} // namespace
