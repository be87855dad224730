// SHA-256 through OpenSSL's EVP interface, and the forms a digest travels
// in: hex in a Metalink document, base64 in an RFC 9530 Repr-Digest field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX

namespace quarn::engine {

using Sha256 = std::array<std::uint8_t, 32>;

// An incremental hash; finish() gives the digest and starts a new one.
class Sha256Hasher {
public:
    Sha256Hasher(); // throws std::runtime_error when OpenSSL cannot set one up
    ~Sha256Hasher();
    Sha256Hasher(Sha256Hasher&&) noexcept;
    Sha256Hasher& operator=(Sha256Hasher&&) noexcept;
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    void update(const void* data, std::size_t length);
    Sha256 finish();
    // A second hasher that goes on from this one's state, so a prefix's
    // digest can be extended on trial and the trial dropped.
    Sha256Hasher clone() const;

private:
    struct Free {
        void operator()(evp_md_ctx_st* ctx) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

Sha256 sha256(std::string_view bytes);

// Bytes [offset, offset + length) of `fd`, read with pread (EINTR retried);
// nullopt on a read error or when the file ends first.
std::optional<Sha256> sha256OfRange(int fd, int64_t offset, int64_t length);

std::string toHex(const Sha256& digest);                   // 64 lower-case digits
std::optional<Sha256> sha256FromHex(std::string_view hex); // either case

// RFC 9530: the member "sha-256=:BASE64:" of a Repr-Digest field, and back.
// parseReprDigest reads a whole field value (a structured-field dictionary
// that may name other algorithms too) and returns its sha-256 member;
// nullopt when there is none or it is malformed.
std::string reprDigestValue(const Sha256& digest);
std::optional<Sha256> parseReprDigest(std::string_view fieldValue);

} // namespace quarn::engine
