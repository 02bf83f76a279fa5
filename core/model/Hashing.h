#pragma once

#include <QHashFunctions>

#include <cstddef>
#include <optional>
#include <vector>

namespace velmora {

// Folds the fields of a record into one hash, in field order. Absent optionals
// hash differently from present ones (also from present empty ones).
class HashBuilder {
public:
    explicit HashBuilder(std::size_t seed = 0) : m_hash(seed) {}

    template <typename T> HashBuilder& add(const T& value) {
        mix(qHash(value, 0));
        return *this;
    }

    // +0.0 and -0.0 are equal, so they must hash alike.
    HashBuilder& add(double value) {
        mix(::qHash(value == 0.0 ? 0.0 : value, 0));
        return *this;
    }

    HashBuilder& add(bool value) {
        mix(value ? 0x51u : 0xa3u);
        return *this;
    }

    template <typename T> HashBuilder& add(const std::optional<T>& value) {
        mix(value ? 1u : 2u);
        if (value) {
            add(*value);
        }
        return *this;
    }

    template <typename T> HashBuilder& add(const std::vector<T>& values) {
        mix(values.size());
        for (const auto& value : values) {
            add(value);
        }
        return *this;
    }

    std::size_t result() const { return m_hash; }

private:
    void mix(std::size_t h) { m_hash ^= h + 0x9e3779b97f4a7c15ULL + (m_hash << 6) + (m_hash >> 2); }

    std::size_t m_hash;
};

} // namespace velmora
