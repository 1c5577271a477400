// The checks of the server's certificate for the SChannel backend: the
// session is made with manual validation, and these decide, with the same
// rules and words as the OpenSSL backend.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include "tls/tls.h"

// What a check found: whether the certificate is refused and why, its
// SHA-256 fingerprint and its subject, for the messages.
struct CertificateVerdict {
    bool refused;
    bool pinned;
    char reason[128];
    char fingerprint[3 * tls_pin_size];
    char subject[256];
};

// Sets what certificates are judged against: the pin when given, else the
// CAs of the PEM file ca_file (a chain engine whose only roots they are),
// else the system's store. Returns nullptr, or the reason of a failure.
[[nodiscard]] const char* certificate_trust_prepare(const char* ca_file, const unsigned char* pin) noexcept;

// Judges the server's certificate (with the certificates it sent beside it
// in certificate->hCertStore) for the server named host, a DNS name or (is_address)
// a dotted IPv4 address.
void certificate_judge(PCCERT_CONTEXT certificate, const char* host, bool is_address,
                       CertificateVerdict* verdict) noexcept;

// Frees the chain engine and the CA store, and wipes the pin.
void certificate_trust_release() noexcept;
