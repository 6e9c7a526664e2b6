// OpenSSL's digests as the independent reference for our hash functions.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvn::test {

inline std::vector<std::uint8_t> openssl_digest(const EVP_MD* md, const std::uint8_t* data,
                                                std::size_t len) {
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned size = 0;
    if (EVP_Digest(data, len, out.data(), &size, md, nullptr) != 1)
        throw std::runtime_error("EVP_Digest failed");
    out.resize(size);
    return out;
}

inline std::vector<std::uint8_t> openssl_digest(const EVP_MD* md,
                                                const std::vector<std::uint8_t>& data) {
    return openssl_digest(md, data.data(), data.size());
}

inline std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t len) {
    std::vector<std::uint8_t> bytes(len);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

inline std::string to_hex(const std::uint8_t* data, std::size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < len; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

}  // namespace qvn::test
