"""IPv6 beside IPv4: providers and local SMTP servers on ::1 and 127.0.0.1,
addresses in every written form, and names of the tests' own hosts file that
resolve to IPv6 alone, to both families, or to an IPv4 address that no route
reaches (224.0.0.1: a TCP connection to a multicast address is refused as
network unreachable)."""

import pytest

from peers import GREETING, Provider, ScriptedPeer, SmtpSink, closed_port, hosts_problem, run, run_with_hosts

USER, SECRET = "site", "shared secret"
QUEUE = [("sender@example.net", ["rcpt@example.org"], b"Subject: over IPv6\r\n\r\nbody\r\n")]
HOSTS = ("127.0.0.1 localhost\n"
         "::1 localhost\n"
         "::1 v6only.quiln.test\n"
         "127.0.0.1 both.quiln.test\n"
         "::1 both.quiln.test\n"
         "224.0.0.1 fallback.quiln.test\n"
         "::1 fallback.quiln.test\n")


def port_text(address):
    """An address as it stands before a port."""
    return f"[{address}]" if ":" in address else address


def pickup(srv, smtp, provider_host, sink_host, runner=run):
    """A verbose pickup of one message; returns (exit code, stdout, stderr,
    provider, sink, provider's report)."""
    provider = Provider(USER, SECRET, ["example.org"], QUEUE, host=provider_host).start()
    sink = SmtpSink(host=sink_host)
    try:
        code, out, err = runner(["-v", "-a", provider.port, "-s", smtp, "-p", sink.port, srv, USER, SECRET])
        return code, out, err, provider, sink, provider.join()
    finally:
        sink.close()


def assert_delivered(code, err, sink, report):
    assert (code, err) == (0, "")
    assert report["error"] is None and len(report["delivered"]) == 1
    assert [e[2] for e in sink.envelopes] == [QUEUE[0][2]]


# srv as given, where the provider listens, -s as given, where the SMTP
# server listens.
FAMILIES = {
    "provider_ipv6_server_ipv4": ("::1", "::1", "127.0.0.1", "127.0.0.1"),
    "provider_ipv4_server_ipv6": ("127.0.0.1", "127.0.0.1", "::1", "::1"),
    "both_bracketed": ("[::1]", "::1", "[::1]", "::1"),
    "long_forms": ("0:0:0:0:0:0:0:1", "::1", "[0000::0001]", "::1"),
    "ipv4_mapped_is_ipv4": ("::ffff:127.0.0.1", "127.0.0.1", "[::ffff:7f00:1]", "127.0.0.1"),
}


@pytest.mark.parametrize("case", FAMILIES)
def test_pickup_across_families(case):
    srv, provider_host, smtp, sink_host = FAMILIES[case]
    code, out, err, provider, sink, report = pickup(srv, smtp, provider_host, sink_host)
    assert_delivered(code, err, sink, report)
    # Addresses in RFC 5952 form: bare in the progress lines, bracketed where
    # a port follows, in the same 15 columns of the trace.
    assert "has address" not in out  # no lookup for an address
    assert (f"Connecting to ATRN server {provider_host} on port {provider.port} ...\n"
            f"Connected to ATRN server {provider_host} on port {provider.port}\n") in out
    assert f"\n[{port_text(provider_host):>15}:{provider.port:<4}] > 220 " in out
    assert (f"Connecting to SMTP server {sink_host} on port {sink.port} ...\n"
            f"Connected to SMTP server {sink_host} on port {sink.port}\n") in out


def test_messages_without_a_port_name_the_ipv6_address_bare():
    provider = ScriptedPeer([("send", GREETING), ("line",), ("close",)], host="::1")
    code, out, err = run(["-a", provider.port, "::1", USER, SECRET])
    provider.join()
    assert (code, out, err) == (5, "", "Error in response to EHLO from ATRN server: recv() connection closed by ::1\n")


@pytest.mark.parametrize("option", ["srv", "-s"])
@pytest.mark.parametrize("given", ["::1", "[::1]", "127.0.0.1"])
def test_refused_connection_names_address_and_port(given, option):
    bare = given.strip("[]")
    port = closed_port(bare)
    if option == "srv":
        code, out, err = run(["-a", port, given, USER, SECRET])
    else:
        provider = Provider(USER, SECRET, ["example.org"], QUEUE).start()
        code, out, err = run(["-a", provider.port, "-s", given, "-p", port, "127.0.0.1", USER, SECRET])
        provider.join()
    assert (code, out, err) == (4, "", f"Cannot connect to server {port_text(bare)}:{port}. Connection refused")


@pytest.mark.parametrize("option", ["srv", "-s"])
@pytest.mark.parametrize("given", ["fe80::1%lo", "[fe80::1%25lo]", "1::2::3", "[::1", "::1]", "[127.0.0.1]",
                                   "1:2:3:4:5:6:7:8:9", "::1.2.3.256"])
def test_invalid_ipv6_addresses_are_refused_before_any_connection(given, option):
    args = [given, USER, SECRET] if option == "srv" else ["-s", given, "127.0.0.1", USER, SECRET]
    assert run(["-a", closed_port()] + args) == (3, "", f"Invalid IPv6 address {given}\n")


needs_hosts = pytest.mark.skipif(hosts_problem() is not None, reason=str(hosts_problem()))


def with_hosts(args):
    return run_with_hosts(HOSTS, args)


@needs_hosts
@pytest.mark.parametrize("name,provider_host,shown", [
    ("v6only.quiln.test", "::1", "::1"),
    ("both.quiln.test", "127.0.0.1", "127.0.0.1"),  # IPv4 first, as before
    ("localhost", "127.0.0.1", "127.0.0.1"),
])
def test_names_of_one_or_both_families(name, provider_host, shown):
    code, out, err, provider, sink, report = pickup(name, name, provider_host, provider_host, runner=with_hosts)
    assert_delivered(code, err, sink, report)
    assert f"ATRN server {name} has address {shown}\nSMTP server {name} has address {shown}\n" in out
    assert out.count("Connecting to ATRN server") == 1
    assert f"Connected to ATRN server {shown} on port {provider.port}\n" in out


@needs_hosts
def test_unreachable_ipv4_falls_back_to_ipv6():
    code, out, err, provider, sink, report = pickup("fallback.quiln.test", "127.0.0.1", "::1", "127.0.0.1",
                                                    runner=with_hosts)
    assert_delivered(code, err, sink, report)
    assert ("ATRN server fallback.quiln.test has address 224.0.0.1\n"
            f"Connecting to ATRN server 224.0.0.1 on port {provider.port} ...\n"
            f"Connecting to ATRN server ::1 on port {provider.port} ...\n"
            f"Connected to ATRN server ::1 on port {provider.port}\n") in out


@needs_hosts
@pytest.mark.parametrize("name,reported", [
    ("fallback.quiln.test", "[::1]"),  # the last attempt's failure
    ("both.quiln.test", "127.0.0.1"),  # refused: no other address is tried
])
def test_the_last_failure_is_reported(name, reported):
    port = closed_port("::1")
    code, out, err = with_hosts(["-v", "-a", port, name, USER, SECRET])
    assert (code, err) == (4, f"Cannot connect to server {reported}:{port}. Connection refused")
    assert out.count("Connecting to ATRN server") == (2 if name.startswith("fallback") else 1)
