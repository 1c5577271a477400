#include <cstdio>

#include "auth/auth_methods.h"
#include "driver/command_line.h"
#include "tls/tls.h"

void list_auth_methods(int list)
{
    if (!tls_can_bind())
        set_auth_unusable(AUTH_KIND_SCRAM_SHA256_PLUS, tls_error());
    probe_auth_methods(list);
}

void print_usage()
{
    std::printf("\n%s\n", program_banner);
    std::printf("\n"
                "Use:\n"
                "  quiln [-a port] [-p port] [-s addr] [-h dom] [-m] [-t authtype] [-v]\n"
                "          srv user pwd [ dom1 ...]\n"
                "\n"
                "where:\n"
                " -a set the ATRN server port (default 366)\n"
                " -p set the destination SMTP server port (default 25)\n"
                " -s set the destination SMTP server address (default localhost = 127.0.0.1)\n"
                " -h set the EHLO domain (by default is dom1 or \"%s\"\n"
                "        if dom1 is not specif.)\n"
                " -m enable IIS mode: set the ATRN server port to 25 if not specified and\n"
                "        don't expect ATRN in EHLO response list\n"
                " -v enable verbose mode\n"
                " -t force authtype (see below for supported and available autthype)\n"
                "\n"
                " srv = ATRN server address\n"
                " user = username used in authentication\n"
                " pwd = password (CRAM-MD5 shared secret)\n"
                " [ dom1 dom2 ...] = domain(s) to request. if none specified then all your\n"
                "                    domains will be sent by your provider\n"
                "\n"
                "QUILN supports the following authentication methods:\n",
                default_ehlo_domain);
    list_auth_methods(1);
    std::printf("\n"
                "More options:\n"
                " -r count pick up again while the provider delivers mail, at most count\n"
                "        pickups in all (1 to 1000); for providers that deliver part of the\n"
                "        queue per pickup\n"
                " -i secs set the relay's idle time-out (1 to 3600, default 60 seconds)\n");
    if (tls_available())
        std::printf(" -e require STARTTLS (RFC 3207) and check the server's certificate\n"
                    " -E TLS on connect (RFC 8314): the handshake before the greeting, for a\n"
                    "        provider's TLS port (give it with -a); certificate checked as with -e\n"
                    " -c file trust the CA certificates in this PEM file, not the system's\n"
                    " -f sha256 accept the server's certificate if its SHA-256 fingerprint\n"
                    "        is this one (64 hex digits, colons allowed), whoever signed it\n");
    else
        std::printf(" -e, -E, -c, -f: TLS is not available in this build\n");
    std::printf(" -k file read pwd from the first line of this file (no access for group\n"
                "        or others); pwd is then not given\n"
                " -l also send the errors and the outcome of the run to the system's log\n"
                "        (syslog, facility mail; on Windows the Application event log)\n");
}
