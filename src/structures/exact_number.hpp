// Range keys that carry their exact value.
//
// The range tree orders numbers by a 96-bit value part holding 79
// significant bits (see ranged_b_tree.hpp).  Ints within 64 bits and doubles
// fit; a big int, a `Decimal` or a `Fraction` may not.  Such a number is
// keyed by the largest grid value below it with the lowest bit of the value
// part set (the "inexact" flag): every exact key sorts where it belongs
// against it, and only numbers sharing that very key need their exact values
// compared.  `ExactNumber` is that exact value, `num * 10^exp10 / den`, in
// native limbs, so that the comparison needs no interpreter.
//
// An `OrderedKey` is the precomputed value part of a value of any ordered
// family (numbers of other types, dates, times, durations), with the exact
// number when the value part alone cannot order it.  Keys are shared by
// counted handles (`OrderedRef`) that any thread may copy and drop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace corvane {

using u128 = unsigned __int128;

// Natural numbers as 32-bit limbs, least significant first, with no leading
// zero limb (zero has none).
using Limbs = std::vector<uint32_t>;

// A nonzero finite rational number: (-1)^negative * num * 10^exp10 / den.
// Limbs are 32-bit, least significant first, with no leading zero limb;
// `den` is at least 1.
struct ExactNumber {
    bool negative = false;
    Limbs num;
    Limbs den{1};
    int64_t exp10 = 0;
};

// -1, 0 or 1 as a is below, equal to or above b.
int compare_exact(const ExactNumber& a, const ExactNumber& b);

// Limbs of a number given otherwise: a machine word; bytes, least
// significant first; decimal digits (0 to 9), most significant first.
Limbs limbs_of(uint64_t x);
Limbs limbs_of_bytes(const unsigned char* little_endian, size_t count);
Limbs limbs_of_digits(const uint8_t* digits, size_t count);

// floor(log2(num / den)) for nonzero num and den.
int64_t binary_exponent(const Limbs& num, const Limbs& den);

// floor(num / den * 2^shift), which the caller knows to be below 2^80, and
// whether a nonzero remainder was cut off.
std::pair<u128, bool> scaled_quotient(const Limbs& num, const Limbs& den, int64_t shift);

struct OrderedKey {
    std::atomic<uint32_t> count{1};
    u128 value_part = 0;
    // Set for a number whose value part has the inexact flag.
    std::optional<ExactNumber> exact;
};

class OrderedRef {
public:
    OrderedRef() noexcept = default;
    // Adopts a new key (count 1).
    explicit OrderedRef(OrderedKey* key) noexcept : key_(key) {}
    // Takes one more count on a key someone else holds.
    static OrderedRef share(const OrderedKey* key) noexcept {
        auto* k = const_cast<OrderedKey*>(key);
        if (k) k->count.fetch_add(1, std::memory_order_relaxed);
        return OrderedRef(k);
    }
    OrderedRef(const OrderedRef& o) noexcept : OrderedRef(share(o.key_)) {}
    OrderedRef(OrderedRef&& o) noexcept : key_(std::exchange(o.key_, nullptr)) {}
    OrderedRef& operator=(OrderedRef o) noexcept {
        std::swap(key_, o.key_);
        return *this;
    }
    ~OrderedRef() { reset(); }

    void reset() noexcept {
        OrderedKey* k = std::exchange(key_, nullptr);
        if (k && k->count.fetch_sub(1, std::memory_order_acq_rel) == 1) delete k;
    }
    // Gives the count up without dropping it (see `PyValue`).
    OrderedKey* release() noexcept { return std::exchange(key_, nullptr); }
    const OrderedKey* get() const noexcept { return key_; }

private:
    OrderedKey* key_ = nullptr;
};

}  // namespace corvane
