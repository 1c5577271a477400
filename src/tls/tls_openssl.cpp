// The TLS backend on OpenSSL 3.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "tls/tls.h"

namespace {

SSL_CTX* context = nullptr;
SSL* session = nullptr;
sock_t session_socket = SOCK_INVALID;
bool session_sound = false; // handshake done, and no fatal error since

bool pin_set = false;
unsigned char pin_sha256[tls_pin_size];

// What the handshake learnt about the server's certificate.
bool refused = false;
bool pinned = false;
char refusal[256];
char fingerprint[3 * tls_pin_size];
char subject[256];

char error_text[256];
const char* error_reason = nullptr;

// What a peek of tls_pending() met instead of a record (an end, a failure,
// with the socket's error code of then), for the next tls_recv to report;
// no_peeked_end when none.
constexpr int no_peeked_end = 1;
int peeked_end = no_peeked_end;
int peeked_errno = 0;

// The library's buffer for reading ahead: several records a read.
constexpr int read_ahead_size = 64 * 1024;

void set_reason(const char* text) noexcept
{
    std::snprintf(error_text, sizeof error_text, "%s", text);
    error_reason = error_text;
}

// The reason OpenSSL gives for the most recent failure on this thread, or
// `otherwise` when it gave none.
void set_library_reason(const char* otherwise) noexcept
{
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    set_reason(reason != nullptr ? reason : otherwise);
    ERR_clear_error();
}

void refuse(const char* reason) noexcept
{
    if (refused)
        return; // the first reason is the one that counts
    refused = true;
    std::snprintf(refusal, sizeof refusal, "%s", reason);
}

// Notes the fingerprint and subject of the server's own certificate, so that
// a refusal can name them and a user can decide to pin it.
bool note_certificate(X509* certificate) noexcept
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1 ||
        length != tls_pin_size)
        return false;
    for (std::size_t i = 0; i < tls_pin_size; ++i)
        std::snprintf(fingerprint + 3 * i, sizeof fingerprint - 3 * i, i + 1 < tls_pin_size ? "%02X:" : "%02X",
                      digest[i]);
    if (X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject) == nullptr)
        subject[0] = '\0';
    return !pin_set || std::memcmp(digest, pin_sha256, tls_pin_size) == 0;
}

// Called for every certificate of the chain. With a pin, the pin alone
// decides (names and dates are not checked); otherwise the library's verdict
// on the chain, the name and the dates stands.
int verify_certificate(int ok, X509_STORE_CTX* store)
{
    const bool pin_matches = note_certificate(X509_STORE_CTX_get0_cert(store));
    if (pin_set) {
        if (pin_matches)
            return 1;
        refuse("its SHA-256 fingerprint is not the one given with -f");
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    if (ok == 0)
        refuse(X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)));
    return ok;
}

// Turns the result of an SSL call into ours.
int translate(int result, const char* otherwise) noexcept
{
    const int error = SSL_get_error(session, result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return TLS_WANT_READ;
    case SSL_ERROR_WANT_WRITE:
        return TLS_WANT_WRITE;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        session_sound = false;
        if (ERR_peek_last_error() == 0 && errno != 0) {
            error_reason = nullptr; // the socket's own error code tells
            return TLS_FAILED;
        }
        set_library_reason(otherwise);
        return TLS_FAILED;
    default:
        session_sound = false;
        set_library_reason(otherwise);
        return TLS_FAILED;
    }
}

} // namespace

bool tls_available() noexcept
{
    return true;
}

int tls_prepare(const char* ca_file, const unsigned char* pin) noexcept
{
    context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        set_library_reason("cannot start the TLS library");
        return TLS_FAILED;
    }
    // The library's defaults otherwise: no compression, secure renegotiation
    // only; the client asks for none.
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
        set_library_reason("cannot require TLS 1.2");
        return TLS_FAILED;
    }
    // A server that closes without close_notify ends its sending as one
    // that sends it: SMTP has its own end of data and replies. Decrypted
    // data is wiped from the library's buffers once read.
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF |
                                     SSL_OP_CLEANSE_PLAINTEXT);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);
    // Each read from the socket takes what has come, several records at
    // once, instead of a record's header and then its body: half the reads
    // of a large message. tls_pending() looks into what waits undecrypted.
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, read_ahead_size);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, verify_certificate);

    if (pin != nullptr) {
        std::memcpy(pin_sha256, pin, tls_pin_size);
        pin_set = true;
        return 0;
    }
    const int loaded = ca_file != nullptr ? SSL_CTX_load_verify_locations(context, ca_file, nullptr)
                                          : SSL_CTX_set_default_verify_paths(context);
    if (loaded != 1) {
        set_library_reason("no certificate found");
        return ca_file != nullptr ? TLS_BAD_CA_FILE : TLS_FAILED;
    }
    return 0;
}

int tls_attach(sock_t sock, const char* host, bool is_address) noexcept
{
    // Each pickup of the run has a session of its own, judged afresh.
    refused = pinned = false;
    refusal[0] = fingerprint[0] = subject[0] = '\0';
    ERR_clear_error();
    session = SSL_new(context);
    if (session == nullptr || SSL_set_fd(session, sock) != 1) {
        set_library_reason("cannot create the TLS session");
        return TLS_FAILED;
    }
    session_socket = sock;
    // A name is checked against the certificate's DNS names and sent as the
    // server name (RFC 6066, 3); an address is never sent there.
    int set = 0;
    if (is_address) {
        set = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session), host);
    } else {
        SSL_set_hostflags(session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        set = SSL_set1_host(session, host) == 1 && SSL_set_tlsext_host_name(session, host) == 1 ? 1 : 0;
    }
    if (set != 1) {
        set_library_reason("cannot set the server's name");
        return TLS_FAILED;
    }
    return 0;
}

int tls_handshake() noexcept
{
    ERR_clear_error();
    errno = 0;
    const int result = SSL_connect(session);
    if (result == 1) {
        // Checked again on what the session holds: the verdict is never
        // taken on the callback's word alone.
        X509* certificate = SSL_get1_peer_certificate(session);
        const bool pin_matches = note_certificate(certificate);
        X509_free(certificate);
        const long verdict = SSL_get_verify_result(session);
        if (certificate == nullptr || !pin_matches || (!pin_set && verdict != X509_V_OK)) {
            refuse(certificate == nullptr ? "the server sent no certificate"
                   : !pin_matches         ? "its SHA-256 fingerprint is not the one given with -f"
                                          : X509_verify_cert_error_string(verdict));
            set_reason(refusal);
            return TLS_FAILED;
        }
        pinned = pin_set;
        session_sound = true;
        return 0;
    }
    const int status = translate(result, "the server closed the connection during the handshake");
    if (status == 0) {
        set_reason("the server closed the connection during the handshake");
        return TLS_FAILED;
    }
    if (status == TLS_FAILED && refused)
        set_reason(refusal);
    return status;
}

int tls_recv(void* buffer, int size) noexcept
{
    if (peeked_end != no_peeked_end) {
        const int end = peeked_end;
        peeked_end = no_peeked_end;
        errno = peeked_errno;
        return end;
    }
    ERR_clear_error();
    errno = 0;
    const int result = SSL_read(session, buffer, size);
    if (result > 0)
        return result;
    return translate(result, "TLS read failed");
}

int tls_send(const void* data, int count) noexcept
{
    ERR_clear_error();
    errno = 0;
    const int result = SSL_write(session, data, count);
    if (result > 0)
        return result;
    const int status = translate(result, "TLS write failed");
    return status == 0 ? TLS_FAILED : status;
}

int tls_shutdown_send() noexcept
{
    if (session == nullptr || !session_sound)
        return TLS_FAILED;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_shutdown(session);
    if (result >= 0)
        return 0;
    const int status = translate(result, "TLS close failed");
    return status == 0 ? TLS_FAILED : status;
}

int tls_pending() noexcept
{
    if (session == nullptr)
        return 0;
    const int decrypted = SSL_pending(session);
    if (decrypted > 0 || SSL_has_pending(session) == 0)
        return decrypted;
    // Read ahead, records may wait undecrypted where no wait on the socket
    // sees them: a peek decrypts the next one if it is whole. A partial one
    // waits for the rest from the socket; an end or a failure waits for
    // tls_recv to report it.
    if (peeked_end != no_peeked_end)
        return 1;
    ERR_clear_error();
    errno = 0;
    unsigned char next = 0;
    const int peeked = SSL_peek(session, &next, 1);
    if (peeked > 0)
        return SSL_pending(session);
    const int end = translate(peeked, "TLS read failed");
    if (end == TLS_WANT_READ || end == TLS_WANT_WRITE)
        return 0;
    peeked_end = end;
    peeked_errno = errno;
    return 1;
}

sock_t tls_socket() noexcept
{
    return session_socket;
}

void tls_close() noexcept
{
    if (session != nullptr) {
        const int saved = errno;
        // One attempt: the run is ending and waits for nothing more.
        if (session_sound)
            (void)SSL_shutdown(session);
        ERR_clear_error();
        SSL_free(session); // wipes the session's keys
        errno = saved;
    }
    session = nullptr;
    session_socket = SOCK_INVALID;
    session_sound = false;
    peeked_end = no_peeked_end;
}

void tls_release() noexcept
{
    tls_close();
    if (context != nullptr)
        SSL_CTX_free(context);
    context = nullptr;
    OPENSSL_cleanse(pin_sha256, sizeof pin_sha256);
}

const char* tls_error() noexcept
{
    return error_reason;
}

bool tls_can_bind() noexcept
{
    return true;
}

int tls_channel_binding(unsigned char* out, const char** type) noexcept
{
    if (session == nullptr || !session_sound)
        return 0;
    const int version = SSL_version(session);
    if (version == TLS1_3_VERSION) {
        // RFC 9266, 2: 32 bytes of the exporter, this label, no context.
        constexpr char label[] = "EXPORTER-Channel-Binding";
        constexpr int length = 32;
        static_assert(length <= tls_binding_max);
        if (SSL_export_keying_material(session, out, length, label, sizeof label - 1, nullptr, 0, 0) != 1) {
            ERR_clear_error();
            return 0;
        }
        *type = "tls-exporter";
        return length;
    }
    // tls-unique (RFC 5929, 3.1): the first Finished message of the
    // handshake, ours unless the session was resumed. Without the extended
    // master secret (RFC 7627) a third party can make two sessions share
    // it: then there is no binding.
    if (version != TLS1_2_VERSION || SSL_get_extms_support(session) != 1)
        return 0;
    const std::size_t length = SSL_session_reused(session) != 0 ? SSL_get_peer_finished(session, out, tls_binding_max)
                                                                : SSL_get_finished(session, out, tls_binding_max);
    if (length == 0 || length > tls_binding_max)
        return 0;
    *type = "tls-unique";
    return static_cast<int>(length);
}

void tls_peer(TlsPeer* peer) noexcept
{
    peer->refused = refused;
    peer->pinned = pinned;
    peer->reason = refused ? refusal : "";
    peer->fingerprint = fingerprint;
    peer->subject = subject;
    peer->protocol = session != nullptr ? SSL_get_version(session) : "";
    const char* cipher = session != nullptr ? SSL_get_cipher_name(session) : nullptr;
    peer->cipher = cipher != nullptr ? cipher : "";
}
