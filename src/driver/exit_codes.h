// The process's exit codes: what a calling script can tell apart.
#pragma once

enum class ExitCode : int {
    success = 0,
    usage = 1,          // bad command line, or no usable authentication method
    socket_library = 2, // the socket library cannot be started
    host_lookup = 3,    // a server name cannot be resolved
    connection = 4,     // a connection cannot be opened
    dialogue = 5,       // a network failure or an unexpected reply during the run
    internal_limit = 6, // a value too long for the program's fixed buffers
    // TLS could not be set up or the server's certificate was not accepted:
    // do not retry blindly, check the provider's certificate or your -c/-f.
    tls = 7,
};
