#include "tls/schannel_certificate.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/wipe.h"
#include "tls/name_match.h"

namespace {

HCERTSTORE ca_store = nullptr;          // -c: the file's CAs
HCERTCHAINENGINE ca_engine = nullptr;   // a chain engine whose only roots they are
bool pin_set = false;
unsigned char pin_sha256[tls_pin_size];

// Room for one decoded subject; a subject that does not fit is shown empty
// and its common name matches nothing.
alignas(8) unsigned char decoded[16384];

// What the PEM reader holds of one certificate (prepare time only).
char pem_base64[65536];
unsigned char pem_der[49152];

bool is_base64(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

bool starts_with(const char* text, const char* prefix) noexcept
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Adds every certificate of the PEM file to ca_store. Returns nullptr, or
// the reason the file cannot serve.
const char* load_pem_file(const char* path) noexcept
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return "cannot open the file";
    char line[1024];
    bool inside = false;
    std::size_t length = 0;
    int added = 0;
    const char* failure = nullptr;
    while (failure == nullptr && std::fgets(line, sizeof line, file) != nullptr) {
        if (!inside) {
            inside = starts_with(line, "-----BEGIN CERTIFICATE-----") ||
                     starts_with(line, "-----BEGIN X509 CERTIFICATE-----");
            length = 0;
            continue;
        }
        if (starts_with(line, "-----END ")) {
            inside = false;
            DWORD size = sizeof pem_der;
            if (CryptStringToBinaryA(pem_base64, static_cast<DWORD>(length), CRYPT_STRING_BASE64, pem_der, &size,
                                     nullptr, nullptr) == 0)
                failure = "bad base64 decode";
            else if (CertAddEncodedCertificateToStore(ca_store, X509_ASN_ENCODING, pem_der, size,
                                                      CERT_STORE_ADD_USE_EXISTING, nullptr) == 0)
                failure = "not a valid certificate";
            else
                ++added;
            continue;
        }
        for (const char* c = line; *c != '\0'; ++c) {
            if (!is_base64(*c))
                continue;
            if (length + 1 >= sizeof pem_base64) {
                failure = "certificate too long";
                break;
            }
            pem_base64[length++] = *c;
        }
    }
    std::fclose(file);
    if (failure != nullptr)
        return failure;
    return added > 0 ? nullptr : "no certificate or crl found";
}

void format_fingerprint(const unsigned char* digest, char* out, std::size_t size) noexcept
{
    for (std::size_t i = 0; i < tls_pin_size; ++i)
        std::snprintf(out + 3 * i, size - 3 * i, i + 1 < tls_pin_size ? "%02X:" : "%02X", digest[i]);
}

// The short names of the usual attributes of a distinguished name; others
// are named by their OID.
const char* attribute_name(const char* oid) noexcept
{
    static constexpr const char* names[][2] = {
        {"2.5.4.3", "CN"},  {"2.5.4.6", "C"},  {"2.5.4.7", "L"},
        {"2.5.4.8", "ST"},  {"2.5.4.10", "O"}, {"2.5.4.11", "OU"},
        {"2.5.4.5", "serialNumber"},           {"1.2.840.113549.1.9.1", "emailAddress"},
        {"0.9.2342.19200300.100.1.25", "DC"},  {"2.5.4.4", "SN"},
        {"2.5.4.42", "GN"}, {"2.5.4.12", "title"},
    };
    for (const auto& entry : names)
        if (std::strcmp(entry[0], oid) == 0)
            return entry[1];
    return oid;
}

// An attribute's value as UTF-8 (the decoder gives the Unicode string types
// as UTF-16). Returns the length, or -1.
int attribute_text(const CERT_RDN_ATTR& attribute, char* out, int size) noexcept
{
    switch (attribute.dwValueType) {
    case CERT_RDN_UTF8_STRING:
    case CERT_RDN_BMP_STRING:
    case CERT_RDN_UNIVERSAL_STRING: {
        const int length = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(attribute.Value.pbData),
                                               static_cast<int>(attribute.Value.cbData / sizeof(wchar_t)), out,
                                               size, nullptr, nullptr);
        return length > 0 || attribute.Value.cbData == 0 ? length : -1;
    }
    default:
        if (attribute.Value.cbData > static_cast<DWORD>(size))
            return -1;
        std::memcpy(out, attribute.Value.pbData, attribute.Value.cbData);
        return static_cast<int>(attribute.Value.cbData);
    }
}

const CERT_NAME_INFO* decode_name(const CERT_NAME_BLOB& name) noexcept
{
    DWORD size = sizeof decoded;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_NAME, name.pbData, name.cbData, 0, nullptr, decoded, &size) == 0)
        return nullptr;
    return reinterpret_cast<const CERT_NAME_INFO*>(decoded);
}

// The subject in the one-line form "/C=../O=../CN=..", bytes outside
// printable ASCII written as \xHH.
void format_subject(PCCERT_CONTEXT certificate, char* out, std::size_t size) noexcept
{
    out[0] = '\0';
    const CERT_NAME_INFO* name = decode_name(certificate->pCertInfo->Subject);
    if (name == nullptr)
        return;
    std::size_t used = 0;
    auto put = [&](const char* text) {
        const int n = std::snprintf(out + used, size - used, "%s", text);
        used = n > 0 && used + static_cast<std::size_t>(n) < size ? used + static_cast<std::size_t>(n) : size - 1;
    };
    for (DWORD r = 0; r < name->cRDN; ++r) {
        for (DWORD a = 0; a < name->rgRDN[r].cRDNAttr; ++a) {
            const CERT_RDN_ATTR& attribute = name->rgRDN[r].rgRDNAttr[a];
            char value[256];
            const int length = attribute_text(attribute, value, sizeof value);
            put("/");
            put(attribute_name(attribute.pszObjId));
            put("=");
            for (int i = 0; i < length; ++i) {
                const auto c = static_cast<unsigned char>(value[i]);
                char piece[5] = {static_cast<char>(c), '\0'};
                if (c < 0x20 || c > 0x7e)
                    std::snprintf(piece, sizeof piece, "\\x%02X", c);
                put(piece);
            }
        }
    }
}

// The address the server was named by, as a certificate's iPAddress holds
// it: 4 or 16 bytes; 0 when `host` is no address.
int address_bytes(const char* host, unsigned char* bytes) noexcept
{
    SockAddress address{};
    if (sock_parse_literal(host, &address) != SockLiteral::address)
        return 0;
    return sock_address_bytes(address, bytes);
}

// One DER element (X.690, 8.1): its tag and where its content lies.
struct DerElement {
    unsigned char tag;
    const unsigned char* content;
    std::size_t length;
};

// Reads the element at the front of the `*size` bytes at `*data` and moves
// past it. false when they do not start with a whole element of a one-byte
// tag and a definite length.
bool next_der_element(const unsigned char** data, std::size_t* size, DerElement* element) noexcept
{
    const unsigned char* at = *data;
    if (*size < 2 || (at[0] & 0x1f) == 0x1f)
        return false;
    std::size_t length = at[1];
    std::size_t header = 2;
    if (length > 0x7f) {
        const std::size_t count = length & 0x7f; // none: BER's indefinite form
        if (count == 0 || count > 4 || *size - 2 < count)
            return false;
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = length << 8 | at[2 + i];
        header += count;
    }
    if (length > *size - header)
        return false;
    *element = DerElement{at[0], at + header, length};
    *data = at + header + length;
    *size -= header + length;
    return true;
}

enum class AltNames {
    match,       // one of them is the server's
    no_match,    // names that are not the server's, or a list that does not decode
    common_name, // none of the kind asked for a host name: the common name decides
};

// GeneralNames (RFC 5280, 4.2.1.6): a SEQUENCE of names, each tagged with
// its kind; dNSName [2] and iPAddress [7] are implicit primitive strings.
constexpr unsigned char der_sequence = 0x30;
constexpr unsigned char der_dns_name = 0x82;
constexpr unsigned char der_ip_address = 0x87;

// The names of the subjectAltName extension are read from its encoding, not
// from the system's decoding: a list of any length needs no room of its own,
// and a DNS name is compared with all of its bytes, so that an embedded NUL
// ("victim.example\0.attacker.example") cannot cut it short.
AltNames alt_names_match(const CERT_EXTENSION& extension, const char* host, bool is_address,
                         const unsigned char* address, int address_length) noexcept
{
    // A list that the system cannot decode either names no one.
    DWORD decoded_size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension.Value.pbData, extension.Value.cbData,
                            0, nullptr, nullptr, &decoded_size) == 0)
        return AltNames::no_match;
    const unsigned char* data = extension.Value.pbData;
    std::size_t size = extension.Value.cbData;
    DerElement list{};
    if (!next_der_element(&data, &size, &list) || list.tag != der_sequence || size != 0)
        return AltNames::no_match;
    bool dns_names_listed = false;
    data = list.content;
    size = list.length;
    while (size > 0) {
        DerElement name{};
        if (!next_der_element(&data, &size, &name))
            return AltNames::no_match;
        if (is_address && name.tag == der_ip_address && name.length == static_cast<std::size_t>(address_length) &&
            std::memcmp(name.content, address, name.length) == 0)
            return AltNames::match;
        if (name.tag == der_dns_name) {
            dns_names_listed = true;
            if (!is_address && dns_name_matches(reinterpret_cast<const char*>(name.content), name.length, host))
                return AltNames::match;
        }
    }
    return dns_names_listed || is_address ? AltNames::no_match : AltNames::common_name;
}

// The name check: a DNS name against the certificate's DNS names, or its
// common names when it has no subjectAltName or one without DNS names (as
// OpenSSL decides); an address against its IP addresses only.
bool name_matches(PCCERT_CONTEXT certificate, const char* host, bool is_address) noexcept
{
    unsigned char address[16] = {};
    const int address_length = is_address ? address_bytes(host, address) : 0;
    if (is_address && address_length == 0)
        return false;
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    const AltNames listed = extension != nullptr ? alt_names_match(*extension, host, is_address, address, address_length)
                                                 : AltNames::common_name;
    if (listed != AltNames::common_name || is_address)
        return listed == AltNames::match;
    const CERT_NAME_INFO* name = decode_name(info->Subject);
    for (DWORD r = 0; name != nullptr && r < name->cRDN; ++r)
        for (DWORD a = 0; a < name->rgRDN[r].cRDNAttr; ++a) {
            const CERT_RDN_ATTR& attribute = name->rgRDN[r].rgRDNAttr[a];
            char value[256];
            const int length = std::strcmp(attribute.pszObjId, szOID_COMMON_NAME) == 0
                                   ? attribute_text(attribute, value, sizeof value)
                                   : -1;
            if (length > 0 && dns_name_matches(value, static_cast<std::size_t>(length), host))
                return true;
        }
    return false;
}

// Why the chain fails, in the order the checks are made on Linux: the path
// to a trusted root, the CA certificates and their purpose, the server's
// name, then signatures and dates. nullptr when it passes.
const char* chain_reason(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT certificate, const char* host,
                         bool is_address) noexcept
{
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    const CERT_SIMPLE_CHAIN* path = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
    if (path == nullptr || (status & CERT_TRUST_IS_PARTIAL_CHAIN) != 0)
        return "unable to get local issuer certificate";
    if ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0)
        return path->cElement == 1 ? "self-signed certificate" : "self-signed certificate in certificate chain";
    if ((status & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) != 0)
        return "invalid CA certificate";
    if ((status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0)
        return "unsuitable certificate purpose";
    if (!name_matches(certificate, host, is_address))
        return is_address ? "IP address mismatch" : "hostname mismatch";
    if ((status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0)
        return "certificate signature failure";
    if ((status & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
        for (DWORD i = 0; i < path->cElement; ++i)
            if (CertVerifyTimeValidity(nullptr, path->rgpElement[i]->pCertContext->pCertInfo) < 0)
                return "certificate is not yet valid";
        return "certificate has expired";
    }
    if ((status & CERT_TRUST_IS_REVOKED) != 0)
        return "certificate revoked";
    if ((status & CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT) != 0)
        return "unhandled critical extension";
    if (status != CERT_TRUST_NO_ERROR)
        return "certificate verify failed";
    return nullptr;
}

void refuse(CertificateVerdict* verdict, const char* reason) noexcept
{
    verdict->refused = true;
    std::snprintf(verdict->reason, sizeof verdict->reason, "%s", reason);
}

} // namespace

const char* certificate_trust_prepare(const char* ca_file, const unsigned char* pin) noexcept
{
    if (pin != nullptr) {
        std::memcpy(pin_sha256, pin, tls_pin_size);
        pin_set = true;
        return nullptr;
    }
    if (ca_file == nullptr)
        return nullptr; // the system's store, through the default engine
    ca_store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (ca_store == nullptr)
        return "cannot create a certificate store";
    if (const char* failure = load_pem_file(ca_file); failure != nullptr)
        return failure;
    // The file's CAs are the only roots; nothing is fetched from the network
    // and the system's automatic root update stays out of it.
    CERT_CHAIN_ENGINE_CONFIG config{};
    // The form of Windows 7, the first with exclusive roots, which every
    // later Windows (and Wine) takes; the flags of Windows 8 stay unused.
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
    config.hExclusiveRoot = ca_store;
    config.dwFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
    if (CertCreateCertificateChainEngine(&config, &ca_engine) == 0)
        return "cannot create a certificate chain engine";
    return nullptr;
}

void certificate_judge(PCCERT_CONTEXT certificate, const char* host, bool is_address,
                       CertificateVerdict* verdict) noexcept
{
    *verdict = CertificateVerdict{};
    if (certificate == nullptr) {
        refuse(verdict, "the server sent no certificate");
        return;
    }
    unsigned char digest[tls_pin_size];
    DWORD length = sizeof digest;
    if (CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded, certificate->cbCertEncoded, digest,
                              &length) == 0 ||
        length != tls_pin_size) {
        refuse(verdict, "cannot compute the certificate's fingerprint");
        return;
    }
    format_fingerprint(digest, verdict->fingerprint, sizeof verdict->fingerprint);
    format_subject(certificate, verdict->subject, sizeof verdict->subject);
    if (pin_set) {
        // The pin alone decides: names and dates are not checked.
        if (std::memcmp(digest, pin_sha256, tls_pin_size) != 0)
            refuse(verdict, "its SHA-256 fingerprint is not the one given with -f");
        verdict->pinned = !verdict->refused;
        return;
    }
    char* usages[] = {const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const DWORD flags = ca_engine != nullptr ? CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL : 0;
    if (CertGetCertificateChain(ca_engine, certificate, nullptr, certificate->hCertStore, &para, flags, nullptr,
                                &chain) == 0) {
        refuse(verdict, "cannot build the certificate chain");
        return;
    }
    if (const char* reason = chain_reason(chain, certificate, host, is_address); reason != nullptr)
        refuse(verdict, reason);
    CertFreeCertificateChain(chain);
}

void certificate_trust_release() noexcept
{
    if (ca_engine != nullptr)
        CertFreeCertificateChainEngine(ca_engine);
    if (ca_store != nullptr)
        CertCloseStore(ca_store, 0);
    ca_engine = nullptr;
    ca_store = nullptr;
    secure_zero(pin_sha256, sizeof pin_sha256);
    pin_set = false;
}
