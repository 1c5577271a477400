// PLAIN (RFC 4616): the whole of it is the initial response, NUL user NUL
// secret, with no authorization identity.
#include <cstring>

#include "auth/sasl.h"

namespace {

SaslStep plain_init(const SaslStart& start, SaslMessage* out) noexcept
{
    const std::size_t user = std::strlen(start.user);
    const std::size_t secret = std::strlen(start.secret);
    if (user + secret + 2 > sizeof out->bytes)
        return SaslStep::too_long;
    out->bytes[0] = '\0';
    std::memcpy(out->bytes + 1, start.user, user);
    out->bytes[1 + user] = '\0';
    std::memcpy(out->bytes + 2 + user, start.secret, secret);
    out->length = static_cast<int>(user + secret + 2);
    return SaslStep::respond;
}

// PLAIN has nothing more to say; the answer to it is the final status.
SaslStep plain_exchange(const unsigned char* /*in*/, int /*length*/, bool success, SaslMessage* /*out*/) noexcept
{
    return success ? SaslStep::done : SaslStep::unexpected;
}

bool plain_channel_bound() noexcept
{
    return false;
}

void plain_free() noexcept {}

} // namespace

const SaslMechanism sasl_plain = {plain_init, plain_exchange, plain_channel_bound, plain_free, false};
