#include "driver/access_list_windows.h"

namespace {

// Reading the secret, replacing it, or granting oneself either.
constexpr ACCESS_MASK forbidden = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER;

bool trusted(PSID sid, PSID user) noexcept
{
    return EqualSid(sid, user) != FALSE || IsWellKnownSid(sid, WinLocalSystemSid) != FALSE ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE;
}

} // namespace

bool access_list_open_to_others(PSECURITY_DESCRIPTOR descriptor, PSID user) noexcept
{
    BOOL present = FALSE;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) == FALSE)
        return true;
    // No DACL lets everyone do everything.
    if (present == FALSE || dacl == nullptr)
        return true;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(dacl, i, &ace) == FALSE)
            return true;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // Passed on to the children of a folder, not used for the file.
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: // the same layout, with a condition after the SID
            break;
        default: // not read here, so it may allow anything
            return true;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        ACCESS_MASK mask = allowed->Mask;
        MapGenericMask(&mask, &mapping);
        if ((mask & forbidden) != 0 && !trusted(&allowed->SidStart, user))
            return true;
    }
    return false;
}
