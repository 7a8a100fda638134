#include "VaultCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace vault::crypto {

struct Sha256::State {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256()
    : m_state(std::make_unique<State>()) {
    m_state->ctx = EVP_MD_CTX_new();
    if (!m_state->ctx || EVP_DigestInit_ex(m_state->ctx, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is unavailable");
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(m_state->ctx);
}

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0)
        EVP_DigestUpdate(m_state->ctx, data, size);
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_state->ctx, digest, &length);
    return hexEncode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string sha256Hex(std::string_view data) {
    Sha256 sha;
    sha.update(data.data(), data.size());
    return sha.hex();
}

std::string hmacSha256Hex(std::string_view key, std::string_view message) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length))
        throw std::runtime_error("HMAC-SHA256 failed");
    return hexEncode(std::string_view(reinterpret_cast<const char*>(mac), length));
}

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1)
        throw std::runtime_error("the random number generator failed");
    return bytes;
}

std::string randomToken() {
    return base64UrlEncode(randomBytes(32));
}

std::string randomUuid() {
    std::string bytes = randomBytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    const std::string hex = hexEncode(bytes);
    return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' + hex.substr(16, 4) +
           '-' + hex.substr(20);
}

std::string hexEncode(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0x0f]);
    }
    return out;
}

std::string base64UrlEncode(std::string_view bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        if (rest == 2)
            out += table[(v >> 6) & 63];
    }
    return out;
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

namespace {

std::string pbkdf2(std::string_view password, std::string_view salt, int iterations) {
    std::string out(32, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), static_cast<int>(out.size()),
                          reinterpret_cast<unsigned char*>(out.data())) != 1)
        throw std::runtime_error("PBKDF2 failed");
    return out;
}

std::string hexDecode(std::string_view hex) {
    std::string out;
    if (hex.size() % 2)
        return out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return {};
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

} // namespace

std::string hashPassword(std::string_view password, int iterations) {
    const std::string salt = randomBytes(16);
    return "pbkdf2-sha256$" + std::to_string(iterations) + "$" + hexEncode(salt) + "$" +
           hexEncode(pbkdf2(password, salt, iterations));
}

bool verifyPassword(std::string_view password, std::string_view stored) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = stored.find('$', start);
        parts.push_back(
            stored.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    if (parts.size() != 4 || parts[0] != "pbkdf2-sha256")
        return false;
    int iterations = 0;
    for (char c : parts[1]) {
        if (c < '0' || c > '9' || iterations > 100'000'000)
            return false;
        iterations = iterations * 10 + (c - '0');
    }
    const std::string salt = hexDecode(parts[2]);
    const std::string expected = hexDecode(parts[3]);
    if (iterations < 1 || salt.empty() || expected.size() != 32)
        return false;
    return constantTimeEquals(pbkdf2(password, salt, iterations), expected);
}

bool isLowerHexDigest(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

} // namespace vault::crypto
