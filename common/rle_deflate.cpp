#include "rle_deflate.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kLiteralLengthSymbols = 286;
constexpr int kEndOfBlock = 256;
constexpr int kDistanceSymbols = 2; // distance 1 only; a second code keeps the tree complete
constexpr int kCodeLengthSymbols = 19;
constexpr int kMaxCodeBits = 15;
constexpr int kMaxCodeLengthBits = 7;
constexpr int kMinRun = 3, kMaxRun = 258;
constexpr size_t kBlockBytes = 128 * 1024; // each block's codes fit its own stretch of data
constexpr size_t kStoredBlockBytes = 65535;
constexpr uint16_t kRunFlag = 0x8000;
constexpr int kLengthCodes = 29;

// The order in which a block header gives the code-length code's lengths.
constexpr int kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr int kLengthBase[kLengthCodes] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLengthExtraBits[kLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// For each run length, the index of its length code.
const std::array<uint8_t, kMaxRun + 1>& lengthCodeOf()
{
    static const std::array<uint8_t, kMaxRun + 1> table = [] {
        std::array<uint8_t, kMaxRun + 1> codes {};
        int code = 0;
        for (int length = kMinRun; length <= kMaxRun; ++length) {
            while (code + 1 < kLengthCodes && kLengthBase[code + 1] <= length)
                ++code;
            codes[size_t(length)] = uint8_t(code);
        }
        return codes;
    }();
    return table;
}

// Huffman code lengths no longer than limit: an optimal tree, built again from flattened counts
// while it is too deep. Every counted symbol gets a code; a lone one gets one bit.
std::vector<uint8_t> codeLengths(const uint32_t* counts, int symbols, int limit)
{
    std::vector<uint8_t> lengths(size_t(symbols), 0);
    std::vector<uint32_t> weight(counts, counts + symbols);
    std::vector<int> used;
    for (int s = 0; s < symbols; ++s)
        if (weight[size_t(s)] > 0)
            used.push_back(s);
    if (used.size() == 1)
        lengths[size_t(used[0])] = 1;
    if (used.size() < 2)
        return lengths;
    for (;;) {
        std::stable_sort(used.begin(), used.end(), [&](int a, int b) { return weight[size_t(a)] < weight[size_t(b)]; });
        // Two queues: the sorted leaves, and the joined nodes, which come out in order of weight.
        const size_t leaves = used.size();
        std::vector<uint64_t> nodeWeight(2 * leaves - 1);
        std::vector<size_t> parent(2 * leaves - 1, 0);
        for (size_t i = 0; i < leaves; ++i)
            nodeWeight[i] = weight[size_t(used[i])];
        size_t nextLeaf = 0, nextJoined = leaves;
        auto takeLightest = [&](size_t joinedEnd) {
            if (nextLeaf < leaves && (nextJoined >= joinedEnd || nodeWeight[nextLeaf] <= nodeWeight[nextJoined]))
                return nextLeaf++;
            return nextJoined++;
        };
        for (size_t node = leaves; node < 2 * leaves - 1; ++node) {
            const size_t a = takeLightest(node), b = takeLightest(node);
            nodeWeight[node] = nodeWeight[a] + nodeWeight[b];
            parent[a] = parent[b] = node;
        }
        std::vector<int> depth(2 * leaves - 1, 0);
        int deepest = 0;
        for (size_t node = 2 * leaves - 1; node-- > 0;) {
            if (node != 2 * leaves - 2)
                depth[node] = depth[parent[node]] + 1;
            if (node < leaves)
                deepest = std::max(deepest, depth[node]);
        }
        if (deepest <= limit) {
            for (size_t i = 0; i < leaves; ++i)
                lengths[size_t(used[i])] = uint8_t(depth[i]);
            return lengths;
        }
        for (int s : used)
            weight[size_t(s)] = (weight[size_t(s)] + 1) / 2;
    }
}

// The canonical codes of RFC 1951 for the lengths, bit-reversed for a least-significant-first
// writer.
std::vector<uint16_t> canonicalCodes(const std::vector<uint8_t>& lengths)
{
    int countOfLength[kMaxCodeBits + 1] = {};
    for (uint8_t length : lengths)
        ++countOfLength[length];
    countOfLength[0] = 0;
    int next[kMaxCodeBits + 2] = {};
    for (int bits = 1, code = 0; bits <= kMaxCodeBits; ++bits) {
        code = (code + countOfLength[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<uint16_t> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); ++s) {
        const int length = lengths[s];
        if (length == 0)
            continue;
        int code = next[length]++, reversed = 0;
        for (int b = 0; b < length; ++b, code >>= 1)
            reversed = (reversed << 1) | (code & 1);
        codes[s] = uint16_t(reversed);
    }
    return codes;
}

// Writes bits least significant first into out, 32 at a time. Room is made ahead (reserve) for what
// a block needs; between reservations the writer holds the vector's end itself.
class BitWriter
{
public:
    explicit BitWriter(std::vector<unsigned char>& out) : out(out), at(out.size()) {}
    ~BitWriter()
    {
        alignToByte();
        out.resize(at);
    }

    void reserve(size_t moreBytes)
    {
        if (out.size() < at + moreBytes + kSlack)
            out.resize(at + moreBytes + kSlack);
    }

    void put(uint32_t bits, int count)
    {
        buffer |= uint64_t(bits) << held;
        held += count;
        if (held >= 32) {
            const uint32_t word = uint32_t(buffer);
            for (int i = 0; i < 4; ++i)
                out[at + size_t(i)] = uint8_t(word >> (8 * i));
            at += 4;
            buffer >>= 32;
            held -= 32;
        }
    }

    void alignToByte()
    {
        reserve(8);
        for (; held > 0; held -= std::min(held, 8)) {
            out[at++] = uint8_t(buffer);
            buffer >>= 8;
        }
        held = 0;
    }

    // Whole bytes, after alignToByte().
    void bytes(const unsigned char* data, size_t size)
    {
        reserve(size);
        std::copy(data, data + size, out.begin() + std::ptrdiff_t(at));
        at += size;
    }

private:
    static constexpr size_t kSlack = 16;
    std::vector<unsigned char>& out;
    size_t at;
    uint64_t buffer = 0;
    int held = 0;
};

// True when the three bytes after *at are all *at.
bool repeatsItsLeftNeighbour(const unsigned char* at)
{
    uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return word == (word & 0xffu) * 0x01010101u;
}

// One stretch of data as literals and runs, with the counts of their symbols.
struct Tokens
{
    std::vector<uint16_t> items; // a literal byte, or kRunFlag | run length
    uint32_t counts[kLiteralLengthSymbols] = {};

    Tokens(const unsigned char* data, size_t size)
    {
        const auto& lengthCode = lengthCodeOf();
        items.resize(size);
        uint16_t* item = items.data();
        for (size_t i = 0; i < size;) {
            // A run of at least three: the byte before and the next three are one value. One word
            // compared, not three bytes, so that busy data (few runs) meets a branch it can
            // predict.
            if (i > 0 && i + kMinRun <= size && repeatsItsLeftNeighbour(data + i - 1)) {
                const size_t longest = std::min(size_t(kMaxRun), size - i);
                size_t run = kMinRun;
                while (run < longest && data[i + run] == data[i - 1])
                    ++run;
                *item++ = uint16_t(kRunFlag | run);
                ++counts[kEndOfBlock + 1 + lengthCode[run]];
                i += run;
                continue;
            }
            *item++ = data[i];
            ++counts[data[i]];
            ++i;
        }
        items.resize(size_t(item - items.data()));
        counts[kEndOfBlock] = 1;
    }
};

void writeStored(BitWriter& bits, const unsigned char* data, size_t size, bool final)
{
    size_t done = 0;
    do {
        const size_t part = std::min(kStoredBlockBytes, size - done);
        bits.reserve(8);
        bits.put(final && done + part == size ? 1 : 0, 3);
        bits.alignToByte();
        const unsigned char header[4] = {uint8_t(part), uint8_t(part >> 8), uint8_t(~part), uint8_t(~part >> 8)};
        bits.bytes(header, 4);
        bits.bytes(data + done, part);
        done += part;
    } while (done < size);
}

void writeBlock(BitWriter& bits, const unsigned char* data, size_t size, bool final)
{
    const Tokens tokens(data, size);
    const std::vector<uint8_t> lengths = codeLengths(tokens.counts, kLiteralLengthSymbols, kMaxCodeBits);
    const std::vector<uint16_t> codes = canonicalCodes(lengths);
    const std::vector<uint8_t> distanceLengths(kDistanceSymbols, 1);
    int literalSymbols = kLiteralLengthSymbols;
    while (lengths[size_t(literalSymbols - 1)] == 0)
        --literalSymbols;

    // The header's list of code lengths, itself Huffman coded (plain lengths, no repeat codes).
    std::vector<uint8_t> header(lengths.begin(), lengths.begin() + literalSymbols);
    header.insert(header.end(), distanceLengths.begin(), distanceLengths.end());
    uint32_t headerCounts[kCodeLengthSymbols] = {};
    for (uint8_t length : header)
        ++headerCounts[length];
    if (std::count_if(headerCounts, headerCounts + kCodeLengthSymbols, [](uint32_t c) { return c > 0; }) < 2)
        ++headerCounts[headerCounts[0] ? 1 : 0]; // a tree of one code would be incomplete
    const std::vector<uint8_t> headerLengths = codeLengths(headerCounts, kCodeLengthSymbols, kMaxCodeLengthBits);
    const std::vector<uint16_t> headerCodes = canonicalCodes(headerLengths);
    int orderedLengths = kCodeLengthSymbols;
    while (orderedLengths > 4 && headerLengths[size_t(kCodeLengthOrder[orderedLengths - 1])] == 0)
        --orderedLengths;

    uint64_t payloadBits = 0;
    for (int s = 0; s < kLiteralLengthSymbols; ++s) {
        const int extra = s > kEndOfBlock ? kLengthExtraBits[s - kEndOfBlock - 1] + 1 : 0; // + the distance bit
        payloadBits += uint64_t(tokens.counts[s]) * uint64_t(lengths[size_t(s)] + extra);
    }
    for (uint8_t length : header)
        payloadBits += headerLengths[length];
    payloadBits += 17 + 3 * uint64_t(orderedLengths);
    if (payloadBits / 8 >= size + 5 * (size / kStoredBlockBytes + 1)) {
        writeStored(bits, data, size, final); // noise: storing is smaller
        return;
    }

    bits.reserve(size_t(payloadBits / 8) + 8);
    bits.put(final ? 1 : 0, 1);
    bits.put(2, 2); // dynamic Huffman codes
    bits.put(uint32_t(literalSymbols - 257), 5);
    bits.put(kDistanceSymbols - 1, 5);
    bits.put(uint32_t(orderedLengths - 4), 4);
    for (int i = 0; i < orderedLengths; ++i)
        bits.put(headerLengths[size_t(kCodeLengthOrder[i])], 3);
    for (uint8_t length : header)
        bits.put(headerCodes[length], headerLengths[length]);

    const auto& lengthCode = lengthCodeOf();
    const uint16_t distanceOne = canonicalCodes(distanceLengths)[0];
    for (uint16_t item : tokens.items) {
        if (!(item & kRunFlag)) {
            bits.put(codes[item], lengths[item]);
            continue;
        }
        const int run = item & ~kRunFlag, code = lengthCode[size_t(run)], symbol = kEndOfBlock + 1 + code;
        bits.put(codes[size_t(symbol)], lengths[size_t(symbol)]);
        bits.put(uint32_t(run - kLengthBase[code]), kLengthExtraBits[code]);
        bits.put(distanceOne, 1);
    }
    bits.put(codes[kEndOfBlock], lengths[kEndOfBlock]);
}

} // namespace

void RleDeflate::compress(const unsigned char* data, size_t size, bool last, std::vector<unsigned char>& out)
{
    BitWriter bits(out);
    size_t done = 0;
    do {
        const size_t part = std::min(kBlockBytes, size - done);
        writeBlock(bits, data + done, part, last && done + part == size);
        done += part;
    } while (done < size);
    if (!last) {
        // An empty stored block brings the stream to a byte boundary.
        bits.reserve(8);
        bits.put(0, 3);
        bits.alignToByte();
        const unsigned char emptyStored[4] = {0, 0, 0xff, 0xff};
        bits.bytes(emptyStored, 4);
    }
}
