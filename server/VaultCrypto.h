#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
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
std::string hmacSha256(std::string_view key, std::string_view message); // 32 raw bytes
std::string hmacSha256Hex(std::string_view key, std::string_view message);

// Bytes from the operating system's CSPRNG; throws when it fails (never falls back).
std::string randomBytes(std::size_t count);
// A bearer token or capability: 32 random bytes in URL-safe base64 without padding.
std::string randomToken();
// A random version-4 UUID in lower-case text form.
std::string randomUuid();

std::string hexEncode(std::string_view bytes);
std::string base64UrlEncode(std::string_view bytes);
// Unpadded URL-safe base64; nullopt for any character outside that alphabet or an impossible length.
std::optional<std::string> base64UrlDecode(std::string_view text);

// A JSON Web Token signed with HMAC-SHA256: header {"alg":"HS256","typ":"JWT"}, the given
// claims (JSON text) as payload.
std::string signJwtHs256(std::string_view claimsJson, std::string_view key);
// The claims (JSON text) of a token this key signed; nullopt for anything else. Only the exact
// header signJwtHs256 writes is accepted, so "alg":"none" or another algorithm never gets as
// far as a signature check it could dodge.
std::optional<std::string> verifyJwtHs256(std::string_view token, std::string_view key);

// Compares without an early exit, so the time taken tells nothing about where texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>" with a fresh 16-byte salt.
std::string hashPassword(std::string_view password, int iterations);
bool verifyPassword(std::string_view password, std::string_view stored);

bool isLowerHexDigest(std::string_view text); // exactly 64 lower-case hex digits

// A secret kept in a file of its own, readable by its owner only: the first line of `file` when
// it holds at least `minLength` characters, otherwise a fresh `make()` written there (through a
// synced temporary file, so a crash never leaves half a key). Throws when it cannot be written.
std::string loadOrCreateKeyFile(const std::filesystem::path& file, const std::function<std::string()>& make,
                                std::size_t minLength = 1);

} // namespace vault::crypto
