// The TLS backend on Windows' own security library: SChannel through the
// Security Support Provider Interface. The session is made with manual
// validation; schannel_certificate.cpp judges the server's certificate.
//
// SChannel works on whole records held by the caller: ciphertext read from
// the socket waits in `incoming` until a record is complete, is decrypted in
// place there, and what follows it stays for the next one; each record to
// send is built in `outgoing` and sent from there, across as many calls as
// the socket needs.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS // the newer form of credentials (SCH_CREDENTIALS)
#include <winsock2.h>

#include <windows.h>

#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>

#include "common/wipe.h"
#include "tls/schannel_certificate.h"
#include "tls/tls.h"

namespace {

// The longest record TLS allows: header, payload, expansion (RFC 5246, 6.2.3).
constexpr int record_limit = 5 + 16384 + 2048;

CredHandle credentials;
bool have_credentials = false;
CtxtHandle context;
bool have_context = false;
sock_t session_socket = SOCK_INVALID;
char host_name[256];
bool host_is_address = false;

bool handshake_done = false;
bool handshake_failed = false; // the alert is sent, then the failure reported
bool session_sound = false;    // handshake done and accepted, no fatal error since
bool server_ended = false;     // close_notify, or a plain close, came
bool close_notify_queued = false;
bool record_failed = false;     // a record did not decrypt: the reason stays
bool certificate_asked = false; // the server asked for a client certificate
SecPkgContext_StreamSizes sizes;

// Ciphertext not yet decrypted, and, in front of it once a record is
// decrypted, the clear text the caller has not taken yet.
unsigned char incoming[2 * record_limit];
int incoming_length = 0;   // bytes in use, clear text and ciphertext
int plain_offset = 0;      // where the clear text not yet taken starts
int plain_length = 0;
int ciphertext_offset = 0; // where what follows the decrypted record starts

// A record or handshake token being sent, and the count of the caller's
// bytes it carries (0 for tokens of our own).
unsigned char outgoing[record_limit];
int outgoing_length = 0;
int outgoing_sent = 0;
int outgoing_carries = 0;

CertificateVerdict verdict;
char protocol[24];
char cipher[64];

char error_text[160];
const char* error_reason = nullptr;

int fail(const char* reason) noexcept
{
    session_sound = false;
    std::snprintf(error_text, sizeof error_text, "%s", reason);
    error_reason = error_text;
    return TLS_FAILED;
}

// The socket's own failure: its error code tells the reason.
int fail_socket() noexcept
{
    session_sound = false;
    error_reason = nullptr;
    return TLS_FAILED;
}

// Words for the statuses of the security library that a server can cause.
struct StatusText {
    SECURITY_STATUS status;
    const char* text;
};
constexpr StatusText status_texts[] = {
    {SEC_E_DECRYPT_FAILURE, "decryption failed or bad record mac"},
    {SEC_E_MESSAGE_ALTERED, "decryption failed or bad record mac"},
    {SEC_E_ILLEGAL_MESSAGE, "the server sent an unexpected or badly formatted message"},
    {SEC_E_ALGORITHM_MISMATCH, "no protocol version or cipher in common with the server"},
    {SEC_E_UNSUPPORTED_FUNCTION, "unsupported protocol"},
    {SEC_E_INVALID_TOKEN, "the server sent an invalid token"},
    {SEC_E_CONTEXT_EXPIRED, "the session has ended"},
    {SEC_E_INTERNAL_ERROR, "internal error in the security library"},
};

// A failure of the security library: its words, or the number of a status
// without them.
int fail_status(SECURITY_STATUS status, const char* doing) noexcept
{
    const StatusText* known = std::find_if(std::begin(status_texts), std::end(status_texts),
                                           [status](const StatusText& e) { return e.status == status; });
    if (known != std::end(status_texts))
        return fail(known->text);
    char text[96];
    std::snprintf(text, sizeof text, "%s failed with security status 0x%08lX", doing,
                  static_cast<unsigned long>(status));
    return fail(text);
}

// Sends what waits in `outgoing`: 0 once all of it is gone.
int flush_outgoing() noexcept
{
    while (outgoing_sent < outgoing_length) {
        const int n = sock_send(session_socket, outgoing + outgoing_sent, outgoing_length - outgoing_sent);
        if (n == SOCK_AGAIN)
            return TLS_WANT_WRITE;
        if (n <= 0)
            return fail_socket();
        outgoing_sent += n;
    }
    outgoing_length = outgoing_sent = outgoing_carries = 0;
    return 0;
}

// Keeps a token the library made for the server in `outgoing`, and hands
// the library's buffer back.
int keep_token(SecBuffer* token) noexcept
{
    const bool fits = token->cbBuffer <= sizeof outgoing - static_cast<unsigned>(outgoing_length);
    if (token->pvBuffer != nullptr && token->cbBuffer > 0 && fits) {
        std::memcpy(outgoing + outgoing_length, token->pvBuffer, token->cbBuffer);
        outgoing_length += static_cast<int>(token->cbBuffer);
    }
    if (token->pvBuffer != nullptr)
        FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
    return fits ? 0 : fail("the security library made a token too long to send");
}

// Reads what the socket has behind the ciphertext held: a count, 0 when the
// server closed, TLS_WANT_READ or TLS_FAILED.
int read_more() noexcept
{
    const int room = static_cast<int>(sizeof incoming) - incoming_length;
    if (room == 0)
        return fail("record too long");
    const int n = sock_recv(session_socket, incoming + incoming_length, room);
    if (n == SOCK_AGAIN)
        return TLS_WANT_READ;
    if (n < 0)
        return fail_socket();
    incoming_length += n;
    return n;
}

// Keeps only the last `count` bytes of what `incoming` holds.
void keep_tail(int count) noexcept
{
    if (count > 0)
        std::memmove(incoming, incoming + incoming_length - count, static_cast<std::size_t>(count));
    incoming_length = count;
}

// The records in the handshake's input begin as TLS records do: a content
// type SChannel knows and a major version of 3. Anything else is no TLS
// server talking, which the library might wait on for a long record.
bool looks_like_records() noexcept
{
    for (int at = 0; at + 5 <= incoming_length;) {
        if (incoming[at] < 20 || incoming[at] > 24 || incoming[at + 1] != 3)
            return false;
        at += 5 + (incoming[at + 3] << 8 | incoming[at + 4]);
    }
    return true;
}

// One call of InitializeSecurityContext with what `incoming` holds (none on
// the first), keeping its token for the server.
SECURITY_STATUS initialize(bool with_input, int* unused_input) noexcept
{
    SecBuffer input[2] = {{static_cast<unsigned long>(incoming_length), SECBUFFER_TOKEN, incoming},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input_desc = {SECBUFFER_VERSION, 2, input};
    SecBuffer output[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc output_desc = {SECBUFFER_VERSION, 2, output};
    const unsigned long wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                 ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
    unsigned long granted = 0;
    // The server's name goes out as SNI (RFC 6066, 3); an address never does.
    char* target = host_is_address ? nullptr : host_name;
    const SECURITY_STATUS status = InitializeSecurityContextA(
        &credentials, have_context ? &context : nullptr, target, wanted, 0, 0, with_input ? &input_desc : nullptr, 0,
        have_context ? nullptr : &context, &output_desc, &granted, nullptr);
    if (!have_context && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED))
        have_context = true;
    *unused_input = with_input && input[1].BufferType == SECBUFFER_EXTRA ? static_cast<int>(input[1].cbBuffer) : 0;
    const int kept = keep_token(&output[0]);
    if (output[1].pvBuffer != nullptr)
        FreeContextBuffer(output[1].pvBuffer);
    return kept == 0 ? status : SEC_E_INTERNAL_ERROR;
}

void note_session() noexcept
{
    SecPkgContext_ConnectionInfo connection{};
    const bool known = QueryContextAttributesA(&context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK;
    const char* name = !known                                              ? "unknown"
                       : (connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0 ? "TLSv1.3"
                       : (connection.dwProtocol & SP_PROT_TLS1_2_CLIENT) != 0 ? "TLSv1.2"
                                                                              : "older than TLSv1.2";
    std::snprintf(protocol, sizeof protocol, "%s", name);
    SecPkgContext_CipherInfo info{};
    info.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    cipher[0] = '\0';
    if (QueryContextAttributesA(&context, SECPKG_ATTR_CIPHER_INFO, &info) == SEC_E_OK)
        WideCharToMultiByte(CP_UTF8, 0, info.szCipherSuite, -1, cipher, sizeof cipher, nullptr, nullptr);
}

// The handshake is done: the protocol, the sizes of records, and the
// verdict on the certificate.
int finish_handshake() noexcept
{
    handshake_done = true;
    note_session();
    if (QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK)
        return fail("cannot learn the record sizes of the session");
    if (sizes.cbHeader + sizes.cbTrailer >= sizeof outgoing)
        return fail("the session's records do not fit");
    const unsigned long room = sizeof outgoing - sizes.cbHeader - sizes.cbTrailer;
    if (sizes.cbMaximumMessage > room)
        sizes.cbMaximumMessage = room;
    // The credentials allow nothing older; checked again on what was agreed.
    if (std::strncmp(protocol, "TLSv1.", 6) != 0)
        return fail("unsupported protocol");
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK)
        certificate = nullptr;
    certificate_judge(certificate, host_name, host_is_address, &verdict);
    if (certificate != nullptr)
        CertFreeCertificateContext(certificate);
    if (verdict.refused)
        return fail(verdict.reason);
    session_sound = true;
    return 0;
}

// What decrypt_one found besides a failure.
constexpr int need_more = 0;  // the record at the front is incomplete
constexpr int to_report = 1;  // clear text, or the server's end
constexpr int taken = 2;      // a record that carried nothing for the caller

// Decrypts the record at the front of the ciphertext, if it is complete.
int decrypt_one() noexcept
{
    const int length = incoming_length - ciphertext_offset;
    if (length == 0)
        return need_more;
    SecBuffer buffers[4] = {{static_cast<unsigned long>(length), SECBUFFER_DATA, incoming + ciphertext_offset},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE)
        return need_more;
    if (status == SEC_I_CONTEXT_EXPIRED) {
        server_ended = true; // close_notify
        return to_report;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
        return fail_status(status, "DecryptMessage");
    int extra = 0;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
            plain_offset = static_cast<int>(static_cast<unsigned char*>(buffer.pvBuffer) - incoming);
            plain_length = static_cast<int>(buffer.cbBuffer);
        }
        if (buffer.BufferType == SECBUFFER_EXTRA)
            extra = static_cast<int>(buffer.cbBuffer);
    }
    ciphertext_offset = incoming_length - extra;
    if (status == SEC_E_OK)
        return plain_length > 0 ? to_report : taken;
    // TLS 1.3 sends post-handshake messages (tickets, key updates): the
    // library takes them through the handshake call. A renegotiation of
    // TLS 1.2 is refused.
    if (std::strcmp(protocol, "TLSv1.3") != 0)
        return fail("the server asked to renegotiate, which quiln does not do");
    keep_tail(extra);
    ciphertext_offset = plain_offset = plain_length = 0;
    int unused = 0;
    const SECURITY_STATUS handled = initialize(true, &unused);
    if (handled != SEC_E_OK)
        return fail_status(handled, "InitializeSecurityContext");
    keep_tail(unused);
    // An answer (to a key update) goes out now, unless a record of the
    // caller's is on its way: then it follows that record.
    if (outgoing_carries == 0 && outgoing_length > 0 && flush_outgoing() == TLS_FAILED)
        return TLS_FAILED;
    return taken;
}

// Decrypts the complete records held until one gives clear text or the
// server's end: to_report, need_more, or TLS_FAILED (for good: a session
// whose record failed is not read again).
int decrypt_held() noexcept
{
    if (record_failed)
        return TLS_FAILED;
    if (plain_length > 0 || server_ended)
        return to_report;
    for (int records = 0; records < 4096; ++records) {
        // Clear text taken: drop it, and bring the ciphertext behind to the front.
        keep_tail(incoming_length - ciphertext_offset);
        ciphertext_offset = plain_offset = 0;
        const int result = decrypt_one();
        if (result != taken) {
            record_failed = result == TLS_FAILED;
            return result;
        }
    }
    return need_more;
}

// Starts close_notify: the library makes the alert as a token.
int queue_close_notify() noexcept
{
    close_notify_queued = true;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc desc = {SECBUFFER_VERSION, 1, &token};
    const SECURITY_STATUS applied = ApplyControlToken(&context, &desc);
    if (applied != SEC_E_OK)
        return fail_status(applied, "ApplyControlToken");
    int unused = 0;
    const int saved = incoming_length;
    incoming_length = 0; // no input: the call only makes the alert
    const SECURITY_STATUS made = initialize(false, &unused);
    incoming_length = saved;
    if (made != SEC_E_OK && made != SEC_I_CONTEXT_EXPIRED)
        return fail_status(made, "InitializeSecurityContext");
    return 0;
}

void forget_session() noexcept
{
    if (have_context)
        DeleteSecurityContext(&context);
    have_context = false;
    secure_zero(incoming, sizeof incoming);
    secure_zero(outgoing, sizeof outgoing);
    incoming_length = plain_offset = plain_length = ciphertext_offset = 0;
    outgoing_length = outgoing_sent = outgoing_carries = 0;
    session_socket = SOCK_INVALID;
    handshake_done = handshake_failed = session_sound = server_ended = close_notify_queued = false;
    record_failed = certificate_asked = false;
}

} // namespace

bool tls_available() noexcept
{
    return true;
}

int tls_prepare(const char* ca_file, const unsigned char* pin) noexcept
{
    if (const char* failure = certificate_trust_prepare(ca_file, pin); failure != nullptr) {
        fail(failure);
        return ca_file != nullptr ? TLS_BAD_CA_FILE : TLS_FAILED;
    }
    // TLS 1.2 and 1.3 only, no default client certificate, and our own
    // judgement of the server's certificate. The newer form of credentials
    // first; Windows before 10 (1809) knows only the older one, without 1.3.
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    char package[] = UNISP_NAME_A;
    SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &current,
                                                       nullptr, nullptr, &credentials, nullptr);
    if (status != SEC_E_OK) {
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        older.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        status = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr,
                                           &credentials, nullptr);
    }
    if (status != SEC_E_OK)
        return fail_status(status, "AcquireCredentialsHandle");
    have_credentials = true;
    return 0;
}

int tls_attach(sock_t sock, const char* host, bool is_address) noexcept
{
    // Each pickup of the run has a session of its own, judged afresh.
    forget_session();
    verdict = CertificateVerdict{};
    protocol[0] = cipher[0] = '\0';
    if (std::snprintf(host_name, sizeof host_name, "%s", host) >= static_cast<int>(sizeof host_name))
        return fail("cannot set the server's name");
    host_is_address = is_address;
    session_socket = sock;
    return have_credentials ? 0 : fail("TLS is not prepared");
}

int tls_handshake() noexcept
{
    for (;;) {
        if (outgoing_length > 0) {
            const int flushed = flush_outgoing();
            if (flushed != 0 && !handshake_failed)
                return flushed;
        }
        if (handshake_failed)
            return TLS_FAILED; // the reason was set when it failed
        if (handshake_done)
            return session_sound ? 0 : TLS_FAILED;
        int unused = 0;
        SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
        if (!have_context) {
            status = initialize(false, &unused);
        } else if (incoming_length > 0) {
            if (!looks_like_records())
                return fail("wrong version number");
            status = initialize(true, &unused);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            const int n = read_more();
            if (n == 0)
                return fail("the server closed the connection during the handshake");
            if (n < 0)
                return n;
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // A client certificate was asked for: we go on without, once.
            if (certificate_asked)
                return fail("the server asks for a client certificate, which quiln does not have");
            certificate_asked = true;
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            fail_status(status, "InitializeSecurityContext");
            handshake_failed = true; // an alert, if the library made one, goes out first
            continue;
        }
        keep_tail(unused);
        if (status == SEC_E_OK && finish_handshake() != 0) {
            // The server learns nothing more than a closed connection.
            outgoing_length = outgoing_sent = 0;
            return TLS_FAILED;
        }
    }
}

int tls_recv(void* buffer, int size) noexcept
{
    for (;;) {
        const int held = decrypt_held();
        if (held < 0)
            return held;
        if (held > 0) {
            if (plain_length == 0)
                return 0; // the server's end
            const int n = plain_length < size ? plain_length : size;
            std::memcpy(buffer, incoming + plain_offset, static_cast<std::size_t>(n));
            secure_zero(incoming + plain_offset, static_cast<std::size_t>(n));
            plain_offset += n;
            plain_length -= n;
            return n;
        }
        const int n = read_more();
        if (n == 0) {
            // A server that closes without close_notify ends its sending as
            // one that sends it: SMTP has its own end of data and replies.
            server_ended = true;
            return 0;
        }
        if (n < 0)
            return n;
    }
}

int tls_send(const void* data, int count) noexcept
{
    if (!session_sound)
        return fail("the session has ended");
    if (outgoing_length > 0) {
        // A record of the same data, or a token of our own, is on its way.
        const int carried = outgoing_carries;
        const int flushed = flush_outgoing();
        if (flushed != 0)
            return flushed;
        if (carried > 0)
            return carried;
    }
    const int n = count < static_cast<int>(sizes.cbMaximumMessage) ? count : static_cast<int>(sizes.cbMaximumMessage);
    unsigned char* header = outgoing;
    unsigned char* body = outgoing + sizes.cbHeader;
    std::memcpy(body, data, static_cast<std::size_t>(n));
    SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, header},
                            {static_cast<unsigned long>(n), SECBUFFER_DATA, body},
                            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, body + n},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&context, 0, &desc, 0);
    if (status != SEC_E_OK) {
        secure_zero(body, static_cast<std::size_t>(n));
        return fail_status(status, "EncryptMessage");
    }
    outgoing_length = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    outgoing_sent = 0;
    outgoing_carries = n;
    const int flushed = flush_outgoing();
    return flushed == 0 ? n : flushed;
}

int tls_shutdown_send() noexcept
{
    if (!have_context || !session_sound)
        return TLS_FAILED;
    if (outgoing_length > 0 && outgoing_carries > 0)
        return TLS_FAILED; // data still on its way: not the moment
    if (!close_notify_queued && queue_close_notify() != 0)
        return TLS_FAILED;
    return flush_outgoing();
}

int tls_pending() noexcept
{
    if (!session_sound)
        return 0;
    const int held = decrypt_held();
    // The server's end or a failure counts too: the next read reports it
    // without waiting for the socket.
    return held > 0 && plain_length > 0 ? plain_length : held != 0 ? 1 : 0;
}

sock_t tls_socket() noexcept
{
    return session_socket;
}

void tls_close() noexcept
{
    if (have_context) {
        const int saved = WSAGetLastError();
        // One attempt: the run is ending and waits for nothing more.
        if (session_sound && (close_notify_queued || queue_close_notify() == 0))
            (void)flush_outgoing();
        WSASetLastError(saved);
    }
    forget_session();
}

void tls_release() noexcept
{
    tls_close();
    if (have_credentials)
        FreeCredentialsHandle(&credentials);
    have_credentials = false;
    certificate_trust_release();
}

const char* tls_error() noexcept
{
    return error_reason;
}

bool tls_can_bind() noexcept
{
    return true; // tls-unique on TLS 1.2
}

int tls_channel_binding(unsigned char* out, const char** type) noexcept
{
    // SChannel gives tls-unique (RFC 5929) as the application data of its
    // bindings, behind the binding's name and a colon; on TLS 1.3 it has no
    // binding to give.
    if (!session_sound || std::strcmp(protocol, "TLSv1.2") != 0)
        return 0;
    SecPkgContext_Bindings bindings{};
    if (QueryContextAttributesA(&context, SECPKG_ATTR_UNIQUE_BINDINGS, &bindings) != SEC_E_OK ||
        bindings.Bindings == nullptr)
        return 0;
    constexpr char prefix[] = "tls-unique:";
    constexpr unsigned long prefix_length = sizeof prefix - 1;
    const SEC_CHANNEL_BINDINGS& binding = *bindings.Bindings;
    const auto* data = reinterpret_cast<const unsigned char*>(bindings.Bindings) + binding.dwApplicationDataOffset;
    int length = 0;
    if (binding.dwApplicationDataOffset >= sizeof binding &&
        binding.dwApplicationDataOffset + binding.cbApplicationDataLength <= bindings.BindingsLength &&
        binding.cbApplicationDataLength > prefix_length &&
        binding.cbApplicationDataLength - prefix_length <= static_cast<unsigned long>(tls_binding_max) &&
        std::memcmp(data, prefix, prefix_length) == 0) {
        length = static_cast<int>(binding.cbApplicationDataLength - prefix_length);
        std::memcpy(out, data + prefix_length, static_cast<std::size_t>(length));
        *type = "tls-unique";
    }
    FreeContextBuffer(bindings.Bindings);
    return length;
}

void tls_peer(TlsPeer* peer) noexcept
{
    peer->refused = verdict.refused;
    peer->pinned = verdict.pinned;
    peer->reason = verdict.refused ? verdict.reason : "";
    peer->fingerprint = verdict.fingerprint;
    peer->subject = verdict.subject;
    peer->protocol = protocol;
    peer->cipher = cipher;
}
