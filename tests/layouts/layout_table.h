// The published serial records, field by field, as a constant table that
// the compiler fills in: size of each record, offset and size of each plain
// field, first bit and width of each bit field. The same table is compiled
// against the project's ce/serial.h (layout_dump) and against MinGW-w64's
// windows.h (check_layouts.sh), so both see exactly the same field list.
//
// Before including this header, include the header that declares DCB,
// COMMTIMEOUTS, COMSTAT and COMMPROP.
#pragma once

#include <array>
#include <bit>
#include <cstddef>

namespace layout {

struct Entry {
    const char* name;  // "DCB", "DCB.BaudRate"
    const char* what;  // "size", "offset", "bytes", "bit", "width"
    std::size_t value;
};

// First set bit of a record's object representation, -1 when none.
template <typename R>
constexpr long FirstBit(const R& r) {
    auto b = std::bit_cast<std::array<unsigned char, sizeof(R)>>(r);
    for (std::size_t i = 0; i < sizeof(R) * 8; ++i)
        if ((b[i / 8] >> (i % 8)) & 1)
            return static_cast<long>(i);
    return -1;
}

template <typename R>
constexpr long BitCount(const R& r) {
    auto b = std::bit_cast<std::array<unsigned char, sizeof(R)>>(r);
    long n = 0;
    for (unsigned char c : b)
        n += std::popcount(c);
    return n;
}

// A bit field's first bit (the field set to 1) and its width (the field set
// to all ones by decrementing it from 0).
// clang-format off
#define LAYOUT_BITS(R, f)                                                                  \
    Entry{#R "." #f, "bit", std::size_t([] { R r{}; r.f = 1; return FirstBit(r); }())},    \
    Entry{#R "." #f, "width", std::size_t([] { R r{}; r.f = r.f - 1; return BitCount(r); }())}
#define LAYOUT_FIELD(R, f) \
    Entry{#R "." #f, "offset", offsetof(R, f)}, Entry{#R "." #f, "bytes", sizeof(R::f)}
#define LAYOUT_SIZE(R) Entry{#R, "size", sizeof(R)}
// clang-format on

// Offsets that ce/serial.h pins with static_asserts of its own (DCB's plain
// fields, the last ones of COMMTIMEOUTS and COMSTAT, and most of COMMPROP's)
// are not repeated here: what this table adds is the bit fields, the fields
// serial.h leaves unpinned, and each record's size and field widths as
// another compiler's header has them.
inline constexpr Entry kTable[] = {
    LAYOUT_SIZE(DCB),
    LAYOUT_FIELD(DCB, DCBlength),
    LAYOUT_BITS(DCB, fBinary),
    LAYOUT_BITS(DCB, fParity),
    LAYOUT_BITS(DCB, fOutxCtsFlow),
    LAYOUT_BITS(DCB, fOutxDsrFlow),
    LAYOUT_BITS(DCB, fDtrControl),
    LAYOUT_BITS(DCB, fDsrSensitivity),
    LAYOUT_BITS(DCB, fTXContinueOnXoff),
    LAYOUT_BITS(DCB, fOutX),
    LAYOUT_BITS(DCB, fInX),
    LAYOUT_BITS(DCB, fErrorChar),
    LAYOUT_BITS(DCB, fNull),
    LAYOUT_BITS(DCB, fRtsControl),
    LAYOUT_BITS(DCB, fAbortOnError),
    LAYOUT_BITS(DCB, fDummy2),

    LAYOUT_SIZE(COMMTIMEOUTS),
    LAYOUT_FIELD(COMMTIMEOUTS, ReadIntervalTimeout),
    LAYOUT_FIELD(COMMTIMEOUTS, ReadTotalTimeoutMultiplier),
    LAYOUT_FIELD(COMMTIMEOUTS, ReadTotalTimeoutConstant),
    LAYOUT_FIELD(COMMTIMEOUTS, WriteTotalTimeoutMultiplier),

    LAYOUT_SIZE(COMSTAT),
    LAYOUT_BITS(COMSTAT, fCtsHold),
    LAYOUT_BITS(COMSTAT, fDsrHold),
    LAYOUT_BITS(COMSTAT, fRlsdHold),
    LAYOUT_BITS(COMSTAT, fXoffHold),
    LAYOUT_BITS(COMSTAT, fXoffSent),
    LAYOUT_BITS(COMSTAT, fEof),
    LAYOUT_BITS(COMSTAT, fTxim),
    LAYOUT_BITS(COMSTAT, fReserved),

    LAYOUT_SIZE(COMMPROP),
    LAYOUT_FIELD(COMMPROP, wPacketLength),
    LAYOUT_FIELD(COMMPROP, wPacketVersion),
    LAYOUT_FIELD(COMMPROP, dwReserved1),
    LAYOUT_FIELD(COMMPROP, dwMaxTxQueue),
    LAYOUT_FIELD(COMMPROP, dwMaxRxQueue),
    LAYOUT_FIELD(COMMPROP, dwProvSubType),
    LAYOUT_FIELD(COMMPROP, dwProvCapabilities),
    LAYOUT_FIELD(COMMPROP, dwSettableParams),
    LAYOUT_FIELD(COMMPROP, dwCurrentRxQueue),
    LAYOUT_FIELD(COMMPROP, dwProvSpec1),
};

}  // namespace layout
