#include "VaultCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
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

std::string hmacSha256(std::string_view key, std::string_view message) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length))
        throw std::runtime_error("HMAC-SHA256 failed");
    return std::string(reinterpret_cast<const char*>(mac), length);
}

std::string hmacSha256Hex(std::string_view key, std::string_view message) {
    return hexEncode(hmacSha256(key, message));
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

std::optional<std::string> base64UrlDecode(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '-')
            return 62;
        if (c == '_')
            return 63;
        return -1;
    };
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() * 3 / 4);
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const int v = value(c);
        if (v < 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

namespace {

const std::string& jwtHeader() {
    static const std::string header = base64UrlEncode(R"({"alg":"HS256","typ":"JWT"})");
    return header;
}

} // namespace

std::string signJwtHs256(std::string_view claimsJson, std::string_view key) {
    const std::string signingInput = jwtHeader() + "." + base64UrlEncode(claimsJson);
    return signingInput + "." + base64UrlEncode(hmacSha256(key, signingInput));
}

std::optional<std::string> verifyJwtHs256(std::string_view token, std::string_view key) {
    const std::size_t first = token.find('.');
    const std::size_t second = first == std::string_view::npos ? first : token.find('.', first + 1);
    if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos)
        return std::nullopt;
    if (token.substr(0, first) != jwtHeader())
        return std::nullopt;
    // Compared as text: only the one canonical encoding of the right signature passes.
    const std::string expected = base64UrlEncode(hmacSha256(key, token.substr(0, second)));
    if (!constantTimeEquals(expected, token.substr(second + 1)))
        return std::nullopt;
    return base64UrlDecode(token.substr(first + 1, second - first - 1));
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

std::string loadOrCreateKeyFile(const std::filesystem::path& file, const std::function<std::string()>& make,
                                std::size_t minLength) {
    namespace fs = std::filesystem;
    {
        std::ifstream in(file);
        std::string key;
        if (in && std::getline(in, key) && key.size() >= std::max<std::size_t>(minLength, 1)) {
            // A key someone else can read is no longer a secret of this server's alone.
            std::error_code ignored;
            fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                            ignored);
            return key;
        }
    }
    const std::string key = make();
    const fs::path temporary = file.string() + ".tmp-" + hexEncode(randomBytes(6));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot write " + file.string());
    const std::string line = key + "\n";
    const bool written =
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
    ::close(fd);
    std::error_code error;
    if (written)
        fs::rename(temporary, file, error);
    if (!written || error) {
        fs::remove(temporary, error);
        throw std::runtime_error("cannot write " + file.string());
    }
    if (const int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return key;
}

} // namespace vault::crypto
