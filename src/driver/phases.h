// The three phases of a run, in order. Each returns only when the run goes on;
// every failure ends the process with its message and exit code.
#pragma once

// Socket start-up, command line, method probe, name resolution, connection to
// the ATRN server, greeting, EHLO and the capability check. The secret is
// blanked in argv once it is read.
void start_and_greet(int argc, char** argv);

// Chooses a method and authenticates with CRAM-MD5 or LOGIN; returns on 235.
void authenticate();

// Connects to the local SMTP server, sends ATRN, and relays the reversed
// connection (250) or quits both servers (453). Returns when the run has
// succeeded, with both connections closed.
void pick_up_mail();
