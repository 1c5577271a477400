// The TLS backend of a build without TLS: nothing is available.
#include "tls/tls.h"

namespace {

constexpr const char not_available[] = "TLS is not available in this build";

} // namespace

bool tls_available() noexcept
{
    return false;
}

int tls_prepare(const char* /*ca_file*/, const unsigned char* /*pin*/) noexcept
{
    return TLS_FAILED;
}

int tls_attach(sock_t /*sock*/, const char* /*host*/, bool /*is_address*/) noexcept
{
    return TLS_FAILED;
}

int tls_handshake() noexcept
{
    return TLS_FAILED;
}

int tls_recv(void* /*buffer*/, int /*size*/) noexcept
{
    return TLS_FAILED;
}

int tls_send(const void* /*data*/, int /*count*/) noexcept
{
    return TLS_FAILED;
}

int tls_shutdown_send() noexcept
{
    return TLS_FAILED;
}

int tls_pending() noexcept
{
    return 0;
}

sock_t tls_socket() noexcept
{
    return SOCK_INVALID;
}

void tls_close() noexcept {}

void tls_release() noexcept {}

const char* tls_error() noexcept
{
    return not_available;
}

bool tls_can_bind() noexcept
{
    return false;
}

int tls_channel_binding(unsigned char* /*out*/, const char** /*type*/) noexcept
{
    return 0;
}

void tls_peer(TlsPeer* peer) noexcept
{
    *peer = {false, false, "", "", "", "", ""};
}
