// A small set of enumeration members, one bit per member (lowest member =
// bit 0), for the library's flag sets.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace cl {

template <typename E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> AMembers) {
        for (E m : AMembers) FBits |= Bit(m);
    }
    static constexpr TSet FromBits(uint32_t ABits) {
        TSet s;
        s.FBits = ABits;
        return s;
    }

    constexpr uint32_t Bits() const { return FBits; }
    constexpr bool Contains(E AMember) const { return (FBits & Bit(AMember)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TSet& Include(E AMember) {
        FBits |= Bit(AMember);
        return *this;
    }
    constexpr TSet& Exclude(E AMember) {
        FBits &= ~Bit(AMember);
        return *this;
    }
    constexpr TSet operator+(TSet AOther) const { return FromBits(FBits | AOther.FBits); }
    constexpr TSet operator-(TSet AOther) const { return FromBits(FBits & ~AOther.FBits); }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr uint32_t Bit(E AMember) { return uint32_t{1} << static_cast<unsigned>(AMember); }
    uint32_t FBits = 0;
};

}  // namespace cl
