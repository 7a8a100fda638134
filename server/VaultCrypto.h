#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The few cryptographic pieces the vault needs, all from libcrypto: digests of content,
// unguessable tokens, signed links and slow password hashes.
namespace vault::crypto {

// Incremental SHA-256; hex() ends the computation.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, std::size_t size);
    std::string hex(); // 64 lower-case hex digits

private:
    struct State;
    std::unique_ptr<State> m_state;
};

std::string sha256Hex(std::string_view data);
std::string hmacSha256Hex(std::string_view key, std::string_view message);

// Bytes from the operating system's CSPRNG; throws when it fails (never falls back).
std::string randomBytes(std::size_t count);
// A bearer token or capability: 32 random bytes in URL-safe base64 without padding.
std::string randomToken();
// A random version-4 UUID in lower-case text form.
std::string randomUuid();

std::string hexEncode(std::string_view bytes);
std::string base64UrlEncode(std::string_view bytes);

// Compares without an early exit, so the time taken tells nothing about where texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>" with a fresh 16-byte salt.
std::string hashPassword(std::string_view password, int iterations);
bool verifyPassword(std::string_view password, std::string_view stored);

bool isLowerHexDigest(std::string_view text); // exactly 64 lower-case hex digits

} // namespace vault::crypto
