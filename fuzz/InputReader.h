/*
 * InputReader.h - reads a fuzz input front to back as little-endian
 * fields; past its end every field reads as zero.  Inputs are sequences of
 * small records, so a seed can be written field by field (see
 * fuzz/make_seeds.py) and a mutation of one record leaves the others alone.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zentaflt_fuzz {

class InputReader {
public:
    InputReader(const uint8_t *Data, size_t Size) : Data(Data), Size(Size) {}

    bool AtEnd() const { return Offset >= Size; }

    uint8_t U8() { return (uint8_t)Read(1); }
    uint16_t U16() { return (uint16_t)Read(2); }
    uint32_t U32() { return (uint32_t)Read(4); }
    uint64_t U64() { return Read(8); }

    /* Count bytes, zero-filled past the end of the input. */
    std::vector<uint8_t> Bytes(size_t Count)
    {
        std::vector<uint8_t> Out(Count, 0);
        size_t Available = Offset < Size ? Size - Offset : 0;
        size_t Taken = Count < Available ? Count : Available;
        if (Taken != 0) {
            memcpy(Out.data(), Data + Offset, Taken);
        }
        Offset += Count < Available ? Count : Available;
        return Out;
    }

private:
    uint64_t Read(size_t Width)
    {
        uint64_t Value = 0;
        for (size_t Index = 0; Index < Width; Index += 1) {
            if (Offset < Size) {
                Value |= (uint64_t)Data[Offset] << (8 * Index);
                Offset += 1;
            }
        }
        return Value;
    }

    const uint8_t *Data;
    size_t Size;
    size_t Offset = 0;
};

}  // namespace zentaflt_fuzz
