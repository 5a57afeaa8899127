#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A raw deflate writer for the PNG writer's filtered rows, which are either noise-like
// (coded best as Huffman-coded literals) or long runs of one byte (a cleared background, a
// smooth sky), so it does only those two things, several times faster than zlib's
// general matcher at its fastest level. Its output is a plain deflate stream any inflater
// reads; pieces made by several writers join into one stream when each but the last ends
// with `finish(false)`.
namespace deflateblocks {

// The most bytes `rawBytes` of input, given in `pieces` calls of add(), can come to, with the end.
std::size_t bound(std::size_t rawBytes, std::size_t pieces = 1);

class Writer
{
public:
    // Writes into `out`, which holds at least `bound()` of everything to be added.
    Writer(unsigned char *out, std::size_t capacity);

    // Codes `data` as blocks of its own; with a `shortestRun` (3 at least), a byte repeated
    // that many times or more is coded as a copy of the byte before it; with 0, every byte
    // is a literal. False when `out` is full.
    bool add(const unsigned char *data, std::size_t size, std::size_t shortestRun);
    // Ends on a byte boundary: with an empty stored block when more of the stream follows
    // from another writer, with a final empty block when this is its end.
    bool finish(bool last);

    std::size_t size() const { return std::size_t(m_at - m_begin); }

private:
    // Codes a block of up to `available` bytes, and says how many it took: 0 when `out` is full.
    std::size_t block(const unsigned char *data, std::size_t available, std::size_t shortestRun);
    void storedBlock(const unsigned char *data, std::size_t size);
    // Appends `count` (at most 32) bits, first bit first.
    void bits(std::uint32_t value, int count)
    {
        m_bits |= std::uint64_t(value) << m_bitCount;
        m_bitCount += count;
        if (m_bitCount >= 32) {
            for (int i = 0; i < 4; ++i)
                m_at[i] = static_cast<unsigned char>(m_bits >> (8 * i));
            m_at += 4;
            m_bits >>= 32;
            m_bitCount -= 32;
        }
    }
    void align();

    unsigned char *m_begin, *m_at, *m_end;
    std::uint64_t m_bits = 0;
    int m_bitCount = 0;
    bool m_havePrevious = false;
    unsigned char m_previous = 0;
    std::vector<std::uint16_t> m_tokens;
};

} // namespace deflateblocks
