// Every wait of the run, in seconds. The test build of the program shortens
// them so that the time-out paths can be tested in seconds; the program
// itself always uses the first set.
#pragma once

#ifndef QUILN_SHORT_TIMEOUTS
inline constexpr int connect_timeout = 20;
inline constexpr int command_timeout = 20;     // each command sent
inline constexpr int reply_timeout = 20;       // greeting, EHLO, AUTH and credentials
inline constexpr int atrn_reply_timeout = 600; // the provider may scan its queue first
inline constexpr int relay_timeout = 60;       // no traffic either way
inline constexpr int quit_reply_timeout = 4;
inline constexpr int smtp_banner_timeout = 5; // the no-mail path
#else
inline constexpr int connect_timeout = 1;
inline constexpr int command_timeout = 1;
inline constexpr int reply_timeout = 1;
inline constexpr int atrn_reply_timeout = 2;
inline constexpr int relay_timeout = 1;
inline constexpr int quit_reply_timeout = 1;
inline constexpr int smtp_banner_timeout = 1;
#endif
