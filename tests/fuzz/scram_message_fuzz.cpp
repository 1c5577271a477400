// The SCRAM client on any server messages. The first byte picks what the
// rest is: a message for the parser alone, or a server-first message, a
// NUL, and a server-final message for the state machine. The parser must
// agree with a slow reading by std::string; the machine must never answer
// a server whose nonce does not begin with ours or whose count is out of
// bounds, never pass the message size, and never report success without
// the right signature.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "auth/sasl.h"

namespace {

const char client_nonce[] = "fyko+d2lbbFgONRv9qkxdawL";

// Each letter as "x=value" in order, comma-separated, values not empty,
// then nothing or a comma.
bool reference_parse(const std::string& m, const std::string& letters, std::vector<std::string>* values)
{
    std::size_t at = 0;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        if (i > 0) {
            if (at >= m.size() || m[at] != ',')
                return false;
            ++at;
        }
        if (m.compare(at, 2, std::string(1, letters[i]) + "=") != 0)
            return false;
        at += 2;
        const std::size_t end = std::min(m.find(',', at), m.size());
        if (end == at)
            return false;
        values->push_back(m.substr(at, end - at));
        at = end;
    }
    return at == m.size() || m[at] == ',';
}

void check_parser(const std::string& m)
{
    for (const char* letters : {"rsi", "v", "e"}) {
        const unsigned char* values[3];
        int lengths[3];
        // An exact-size copy, so that reading past the message is caught.
        std::vector<unsigned char> exact(m.begin(), m.end());
        const bool parsed = scram_parse(exact.data(), static_cast<int>(exact.size()), letters, values, lengths);
        std::vector<std::string> expected;
        if (parsed != reference_parse(m, letters, &expected))
            std::abort();
        for (std::size_t i = 0; parsed && i < expected.size(); ++i) {
            if (std::string(reinterpret_cast<const char*>(values[i]), static_cast<std::size_t>(lengths[i])) !=
                expected[i])
                std::abort();
        }
    }
}

void check_machine(const std::string& first, const std::string& final, bool success)
{
    scram_set_nonce_for_tests(client_nonce);
    SaslMessage out{};
    const SaslStart start{"user", "pencil", false, false, {nullptr, nullptr, 0}};
    if (sasl_scram_sha256.init(start, &out) != SaslStep::respond)
        std::abort();
    std::vector<unsigned char> exact(first.begin(), first.end());
    const SaslStep step = sasl_scram_sha256.exchange(exact.data(), static_cast<int>(exact.size()), false, &out);
    std::vector<std::string> values;
    const bool readable = reference_parse(first, "rsi", &values);
    if (step == SaslStep::wrong_nonce) {
        // Only for an r= that does not begin with our nonce.
        const std::string r = first.compare(0, 2, "r=") == 0 ? first.substr(2, first.find(',') - 2) : client_nonce;
        if (r.compare(0, std::strlen(client_nonce), client_nonce) == 0)
            std::abort();
    }
    if (step != SaslStep::respond) {
        sasl_scram_sha256.free();
        return;
    }
    // Answered: the message was whole, the nonce ours and more, the count in bounds.
    if (!readable || values[0].size() <= std::strlen(client_nonce) ||
        values[0].compare(0, std::strlen(client_nonce), client_nonce) != 0)
        std::abort();
    const long count = std::strtol(values[2].c_str(), nullptr, 10);
    if (count < scram_iterations_min || count > scram_iterations_max)
        std::abort();
    if (out.length <= 0 || out.length > sasl_message_size ||
        std::string(reinterpret_cast<const char*>(out.bytes), 9 + values[0].size()) != "c=biws,r=" + values[0])
        std::abort();
    std::vector<unsigned char> exact_final(final.begin(), final.end());
    const SaslStep last =
        sasl_scram_sha256.exchange(exact_final.data(), static_cast<int>(exact_final.size()), success, &out);
    // The server's signature is a MAC the fuzzer cannot forge.
    if (last == SaslStep::done || last == SaslStep::respond)
        std::abort();
    sasl_scram_sha256.free();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 1) == 0) {
        check_parser(rest);
        return 0;
    }
    const std::size_t nul = rest.find('\0');
    const std::string first = rest.substr(0, nul);
    const std::string final = nul == std::string::npos ? "" : rest.substr(nul + 1);
    if (first.size() >= sasl_challenge_size || final.size() >= sasl_challenge_size)
        return 0;
    check_machine(first, final, (data[0] & 2) != 0);
    return 0;
}
