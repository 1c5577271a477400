// Who else may use a file, judged by its security descriptor: what the group
// and other mode bits tell on Linux. Open to its tests.
#pragma once

#include <windows.h>

// True when the DACL of `descriptor` lets anyone but `user`, the local SYSTEM
// account and the Administrators group read the file, write it or change who
// may: when there is no DACL at all, or when an ACE allows FILE_READ_DATA,
// FILE_WRITE_DATA, FILE_APPEND_DATA, WRITE_DAC or WRITE_OWNER (generic rights
// mapped first) to any other SID. Deny ACEs are not credited, inherit-only
// ACEs are passed over, and an ACE of a kind not read here counts as open.
// The owner is not judged, as the owner of a file is not on Linux.
[[nodiscard]] bool access_list_open_to_others(PSECURITY_DESCRIPTOR descriptor, PSID user) noexcept;
