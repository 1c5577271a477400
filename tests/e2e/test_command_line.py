"""The command line: the usage text, every refusal, and what is accepted."""

import pytest

from peers import AUTH_LISTING, TLS_AVAILABLE, closed_port, run

USAGE = (
    "\n"
    "QUILN v1.2.2 - On-Demand Mail Relay (RFC 2645) pickup client\n"
    "Relays the mail your provider holds for you to your own SMTP server\n"
    "\n"
    "\n"
    "Use:\n"
    "  quiln [-a port] [-p port] [-s addr] [-h dom] [-m] [-t authtype] [-v]\n"
    "          srv user pwd [ dom1 ...]\n"
    "\n"
    "where:\n"
    " -a set the ATRN server port (default 366)\n"
    " -p set the destination SMTP server port (default 25)\n"
    " -s set the destination SMTP server address (default localhost = 127.0.0.1)\n"
    " -h set the EHLO domain (by default is dom1 or \"quiln.invalid\"\n"
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
    "QUILN supports the following authentication methods:\n"
    + "".join(line + "\n" for line in AUTH_LISTING) +
    "\n"
    "More options:\n"
    " -r count pick up again while the provider delivers mail, at most count\n"
    "        pickups in all (1 to 1000); for providers that deliver part of the\n"
    "        queue per pickup\n"
    " -i secs set the relay's idle time-out (1 to 3600, default 60 seconds)\n"
    + (" -e require STARTTLS (RFC 3207) and check the server's certificate\n"
       " -E TLS on connect (RFC 8314): the handshake before the greeting, for a\n"
       "        provider's TLS port (give it with -a); certificate checked as with -e\n"
       " -c file trust the CA certificates in this PEM file, not the system's\n"
       " -f sha256 accept the server's certificate if its SHA-256 fingerprint\n"
       "        is this one (64 hex digits, colons allowed), whoever signed it\n"
       if TLS_AVAILABLE else
       " -e, -E, -c, -f: TLS is not available in this build\n") +
    " -k file read pwd from the first line of this file (no access for group\n"
    "        or others); pwd is then not given\n"
    " -l also send the errors and the outcome of the run to the system's log\n"
    "        (syslog, facility mail; on Windows the Application event log)\n"
)

POSITIONALS = ["127.0.0.1", "user", "secret"]


@pytest.mark.parametrize("args", [[], ["127.0.0.1", "user"], ["-v", "srv"]], ids=["none", "two", "one"])
def test_usage_text_alone(args):
    code, out, err = run(args)
    assert (code, out, err) == (1, USAGE, "")


@pytest.mark.parametrize("arg", [b"-x", b"--", b"-", b"/", b"-?", b"/?", b"-V", b"-\xe9", b"- v", b"-\x01"])
def test_invalid_option_then_usage(arg):
    code, out, err = run(POSITIONALS + [arg])
    assert (code, out, err) == (1, USAGE, f"Invalid argument: {arg.decode('latin-1')}\n")


A_MSG = "You must specify a valid port number after -a\n"
P_MSG = "You must specify a valid port number after -p\n"
S_MSG = "You must specify an IP address or a hostname after -s\n"
T_MSG = "You must specify a valid AUTH method after -t.\nUse quiln -? to see the list of valid AUTH methods\n"
H_MSG = "You must specify a domain name after -h\n"
R_MSG = "You must specify a number of pickups from 1 to 1000 after -r\n"
I_MSG = "You must specify an idle time-out from 1 to 3600 seconds after -i\n"


@pytest.mark.parametrize("args, message", [
    (["-a"], A_MSG),
    (["-a", "0"], A_MSG),
    (["-a", "65536"], A_MSG),
    (["-a", "366x"], A_MSG),
    (["-a", "366 "], A_MSG),
    (["-a", ""], A_MSG),
    (["-a", "-1"], A_MSG),
    (["-a", "99999999999999999999999"], A_MSG),
    (["-p"], P_MSG),
    (["-p0"], P_MSG),
    (["-s"], S_MSG),
    (["-s", ""], S_MSG),
    (["-t"], T_MSG),
    (["-t", "-v"], T_MSG),
    (["-h"], H_MSG),
    (["-h", ""], H_MSG),
    (["-r"], R_MSG),
    (["-r", "0"], R_MSG),
    (["-r", "1001"], R_MSG),
    (["-r", "x"], R_MSG),
    (["-r5x"], R_MSG),
    (["-i"], I_MSG),
    (["-i", "0"], I_MSG),
    (["-i", "3601"], I_MSG),
    (["-i", "-5"], I_MSG),
    # The first bad argument ends the run; later ones are not looked at.
    (["-a", "x", "-p", "y"], A_MSG),
], ids=lambda v: repr(v) if isinstance(v, list) else None)
def test_bad_values(args, message):
    # At the end, so that no positional can be taken for the value.
    code, out, err = run(POSITIONALS + args)
    assert (code, out, err) == (1, "", message)


def test_bad_value_wins_over_missing_positionals():
    assert run(["-p", "0"]) == (1, "", P_MSG)


def test_hundred_domains_accepted_and_hundred_and_first_refused():
    port = closed_port()
    domains = [f"d{i}.example" for i in range(100)]
    code, out, err = run(["-a", port] + POSITIONALS + domains)
    assert code == 4, err  # got as far as connecting
    code, out, err = run(["-a", port] + POSITIONALS + domains + ["d100.example"])
    assert (code, out, err) == (1, "", "Too many domains in command line (max 100)\n")


@pytest.mark.parametrize("args", [
    ["-a366"], ["-a", "366"], ["/a", "366"], ["-a", "+366"], ["-a", " 366"], ["-m", "-a", "366"],
])
def test_port_forms(args):
    code, out, err = run(["-v"] + args + POSITIONALS + ["-s", "127.0.0.1", "-p", str(closed_port())])
    assert "Connecting to ATRN server 127.0.0.1 on port 366 ...\n" in out


def test_iis_mode_default_port():
    code, out, err = run(["-v", "-m"] + POSITIONALS, binary=None)
    assert "Connecting to ATRN server 127.0.0.1 on port 25 ...\n" in out


def test_vm_is_verbose_alone():
    code, out, err = run(["-vm"] + POSITIONALS)
    assert "Connecting to ATRN server 127.0.0.1 on port 366 ...\n" in out


def test_options_after_positionals_and_colon_ignored():
    code, out, err = run(POSITIONALS + ["-:", "/v"])
    assert out.startswith("QUILN v1.2.2")


def test_glued_value_may_start_with_a_dash():
    code, out, err = run(["-t-X"] + POSITIONALS)
    assert (code, err) == (1, "Auth -X is not implemented in QUILN\n")


def test_unknown_forced_method_after_both_names_resolved():
    assert run(["-t", "DIGEST-MD5"] + POSITIONALS) == (1, "", "Auth DIGEST-MD5 is not implemented in QUILN\n")
    # A name that cannot be resolved is reported first.
    code, out, err = run(["-t", "DIGEST-MD5", "-s", "no-such-host.invalid"] + POSITIONALS)
    assert (code, err) == (3, "Host no-such-host.invalid not found\n")


@pytest.mark.skipif(TLS_AVAILABLE, reason="this build has TLS: test_starttls.py tests these options")
@pytest.mark.parametrize("args", [["-e"], ["-E"], ["-e", "-c", "/nonexistent/ca.pem"], ["-c", "/nonexistent/ca.pem"],
                                  ["-f", "0" * 64], ["-e", "-f", "x"], ["-E", "-f", "x"]], ids=repr)
def test_tls_options_in_a_build_without_tls(args):
    # Refused at once, whatever their values and before any connection.
    assert run(["-a", closed_port()] + POSITIONALS + args) == (1, "", "TLS is not available in this build\n")
