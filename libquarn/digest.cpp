#include "libquarn/digest.h"

#include "libquarn/text.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace quarn::engine {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A range is read in pieces of this size: large enough that the hash, not
// the system call, is the cost.
constexpr std::size_t kReadChunk = std::size_t{256} * 1024;

int base64Value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Exactly 32 bytes of RFC 4648 base64, padded or not (RFC 8941 asks a parser
// to accept both); bits left over must be zero, so one digest has one form.
std::optional<Sha256> digestFromBase64(std::string_view text) {
    if (text.size() == 44) {
        if (text.back() != '=') return std::nullopt;
        text.remove_suffix(1);
    }
    if (text.size() != 43) return std::nullopt;
    Sha256 out{};
    std::size_t at = 0;
    std::uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        const int v = base64Value(c);
        if (v < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out[at++] = static_cast<std::uint8_t>(bits >> held);
            bits &= (1U << held) - 1;
        }
    }
    if (bits != 0) return std::nullopt;
    return out;
}

// RFC 8941 structured-field dictionary, strictly: any text that is not one
// gives no members at all. Only what a Repr-Digest needs is kept (each
// member's byte sequence, if it is one); the rest is checked and skipped.
class DictionaryParser {
public:
    explicit DictionaryParser(std::string_view text) : text_(text) {}

    // The last value given for `wanted` (a later member replaces an earlier
    // one); nullopt when the text is not a dictionary or `wanted` is not a
    // byte sequence in it.
    std::optional<std::string_view> byteSequence(std::string_view wanted) {
        std::optional<std::string_view> found;
        skipSpaces();
        if (atEnd()) return std::nullopt;
        for (;;) {
            const std::optional<std::string_view> key = parseKey();
            if (!key) return std::nullopt;
            std::optional<std::string_view> bytes;
            if (peek('=')) {
                ++at_;
                if (peek('(')) {
                    if (!skipInnerList()) return std::nullopt;
                } else if (!parseBareItem(&bytes)) {
                    return std::nullopt;
                }
            }
            if (!skipParameters()) return std::nullopt;
            if (*key == wanted) found = bytes;
            skipOws();
            if (atEnd()) break;
            if (!peek(',')) return std::nullopt;
            ++at_;
            skipOws();
            if (atEnd()) return std::nullopt; // a trailing comma
        }
        return found;
    }

private:
    bool atEnd() const { return at_ >= text_.size(); }
    bool peek(char c) const { return !atEnd() && text_[at_] == c; }
    void skipSpaces() {
        while (peek(' ')) ++at_;
    }
    void skipOws() {
        while (peek(' ') || peek('\t')) ++at_;
    }
    static bool lcalpha(char c) { return c >= 'a' && c <= 'z'; }
    static bool digit(char c) { return c >= '0' && c <= '9'; }
    static bool alpha(char c) { return lcalpha(c) || (c >= 'A' && c <= 'Z'); }

    std::optional<std::string_view> parseKey() {
        const std::size_t start = at_;
        if (atEnd() || !(lcalpha(text_[at_]) || text_[at_] == '*')) return std::nullopt;
        ++at_;
        while (!atEnd()) {
            const char c = text_[at_];
            if (!(lcalpha(c) || digit(c) || c == '_' || c == '-' || c == '.' || c == '*')) break;
            ++at_;
        }
        return text_.substr(start, at_ - start);
    }

    // An item's value; a byte sequence's content goes to `bytes`.
    bool parseBareItem(std::optional<std::string_view>* bytes) {
        if (atEnd()) return false;
        const char c = text_[at_];
        if (c == '-' || digit(c)) return skipNumber();
        if (c == '"') return skipString();
        if (c == '*' || alpha(c)) return skipToken();
        if (c == ':') {
            const std::size_t start = ++at_;
            while (!atEnd() && text_[at_] != ':') {
                const char b = text_[at_];
                if (base64Value(b) < 0 && b != '=') return false;
                ++at_;
            }
            if (atEnd()) return false;
            if (bytes != nullptr) *bytes = text_.substr(start, at_ - start);
            ++at_;
            return true;
        }
        if (c == '?') {
            ++at_;
            if (!peek('0') && !peek('1')) return false;
            ++at_;
            return true;
        }
        return false;
    }

    bool skipNumber() {
        if (peek('-')) ++at_;
        std::size_t digits = 0;
        std::size_t fraction = 0;
        bool decimal = false;
        while (!atEnd()) {
            const char c = text_[at_];
            if (digit(c)) {
                ++(decimal ? fraction : digits);
            } else if (c == '.' && !decimal) {
                if (digits > 12) return false;
                decimal = true;
            } else {
                break;
            }
            ++at_;
            if (!decimal && digits > 15) return false;
        }
        if (digits == 0) return false;
        return !decimal || (fraction >= 1 && fraction <= 3);
    }

    bool skipString() {
        ++at_;
        while (!atEnd()) {
            const char c = text_[at_++];
            if (c == '\\') {
                if (!peek('"') && !peek('\\')) return false;
                ++at_;
            } else if (c == '"') {
                return true;
            } else if (c < 0x20 || c > 0x7e) {
                return false;
            }
        }
        return false;
    }

    bool skipToken() {
        ++at_;
        // tchar, ':' and '/'
        static constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~:/";
        while (!atEnd() && (alpha(text_[at_]) || digit(text_[at_]) ||
                            kExtra.find(text_[at_]) != std::string_view::npos))
            ++at_;
        return true;
    }

    bool skipParameters() {
        while (peek(';')) {
            ++at_;
            skipSpaces();
            if (!parseKey()) return false;
            if (peek('=')) {
                ++at_;
                if (!parseBareItem(nullptr)) return false;
            }
        }
        return true;
    }

    bool skipInnerList() {
        ++at_;
        for (;;) {
            skipSpaces();
            if (peek(')')) {
                ++at_;
                return true;
            }
            if (!parseBareItem(nullptr) || !skipParameters()) return false;
            if (!peek(' ') && !peek(')')) return false;
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

} // namespace

void Sha256Hasher::Free::operator()(evp_md_ctx_st* ctx) const noexcept {
    EVP_MD_CTX_free(ctx);
}

Sha256Hasher::Sha256Hasher() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("OpenSSL cannot set up SHA-256");
}

Sha256Hasher::~Sha256Hasher() = default;
Sha256Hasher::Sha256Hasher(Sha256Hasher&&) noexcept = default;
Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&&) noexcept = default;

void Sha256Hasher::update(const void* data, std::size_t length) {
    if (EVP_DigestUpdate(ctx_.get(), data, length) != 1)
        throw std::runtime_error("SHA-256 update failed");
}

Sha256 Sha256Hasher::finish() {
    Sha256 out{};
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &written) != 1 || written != out.size() ||
        EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 finish failed");
    return out;
}

Sha256Hasher Sha256Hasher::clone() const {
    Sha256Hasher copy;
    if (EVP_MD_CTX_copy_ex(copy.ctx_.get(), ctx_.get()) != 1)
        throw std::runtime_error("SHA-256 copy failed");
    return copy;
}

Sha256 sha256(std::string_view bytes) {
    Sha256Hasher hasher;
    hasher.update(bytes.data(), bytes.size());
    return hasher.finish();
}

std::optional<Sha256> sha256OfRange(int fd, int64_t offset, int64_t length) {
    if (offset < 0 || length < 0) return std::nullopt;
    Sha256Hasher hasher;
    std::vector<char> buffer(
        static_cast<std::size_t>(std::min<int64_t>(length, static_cast<int64_t>(kReadChunk))));
    while (length > 0) {
        const auto want = static_cast<std::size_t>(
            std::min<int64_t>(length, static_cast<int64_t>(buffer.size())));
        const ssize_t n = ::pread(fd, buffer.data(), want, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        hasher.update(buffer.data(), static_cast<std::size_t>(n));
        offset += n;
        length -= n;
    }
    return hasher.finish();
}

std::string toHex(const Sha256& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(digest.size() * 2);
    for (const std::uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::optional<Sha256> sha256FromHex(std::string_view hex) {
    Sha256 out{};
    if (hex.size() != out.size() * 2) return std::nullopt;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hexDigitValue(hex[2 * i]);
        const int lo = hexDigitValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return out;
}

std::string reprDigestValue(const Sha256& digest) {
    std::string out = "sha-256=:";
    std::uint32_t bits = 0;
    int held = 0;
    for (const std::uint8_t b : digest) {
        bits = (bits << 8) | b;
        held += 8;
        while (held >= 6) {
            held -= 6;
            out += kBase64[(bits >> held) & 63];
        }
    }
    if (held > 0) out += kBase64[(bits << (6 - held)) & 63];
    while ((out.size() - 9) % 4 != 0) out += '=';
    out += ':';
    return out;
}

std::optional<Sha256> parseReprDigest(std::string_view fieldValue) {
    const std::optional<std::string_view> bytes =
        DictionaryParser(fieldValue).byteSequence("sha-256");
    if (!bytes) return std::nullopt;
    return digestFromBase64(*bytes);
}

} // namespace quarn::engine
