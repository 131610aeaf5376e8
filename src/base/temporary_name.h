// The name of an output's temporary, shared by the POSIX and Windows file
// layers: ".NAME.quenvale-XXXXXX.tmp" beside the output, hidden, with a
// random part so that a name already taken (a killed run's leftover, or a
// file planted there) costs one more try, never the protection.
#ifndef QUENVALE_TEMPORARY_NAME_H
#define QUENVALE_TEMPORARY_NAME_H

#include <cstddef>
#include <cstdint>

namespace quenvale {

// Tries at fresh random names before a taken name is given up on.
constexpr int kTemporaryTries = 64;
// The longest file name of common file systems (ext4, tmpfs, NTFS).
constexpr size_t kLongestFileName = 255;
// Room a temporary's name needs beyond the output's own name.
constexpr size_t kTemporaryNameExtra = 40;

// Forms of the name, each shorter than the last: the output's whole name;
// a cut of it with a hash of the whole (outputs sharing a long prefix still
// differ); the hash alone, for a file system with shorter names.
enum TemporaryNameForm { kWholeName, kCutName, kHashOnly, kNoShorterForm };

// A 64-bit mix (splitmix64), for turning a weak seed into name bits.
inline uint64_t MixBits(uint64_t value) {
    value += 0x9E3779B97F4A7C15u;
    value = (value ^ value >> 30) * 0xBF58476D1CE4E5B9u;
    value = (value ^ value >> 27) * 0x94D049BB133111EBu;
    return value ^ value >> 31;
}

// The next random part when a test has fixed them (FixTemporaryNames).
bool FixedTemporaryBits(uint64_t* bits);

// The first form worth trying for a name of this many units.
inline TemporaryNameForm FirstTemporaryNameForm(size_t nameLength) {
    return 1 + nameLength + 20 <= kLongestFileName ? kWholeName : kCutName;
}

// Writes the temporary's name for the output's name (nameLength units, no
// separator) into out, which holds nameLength + kTemporaryNameExtra units,
// NUL-terminated. Returns the units written before the NUL.
template <typename Char>
size_t ComposeTemporaryName(const Char* name, size_t nameLength, TemporaryNameForm form, uint64_t random, Char* out) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    size_t used = 0;
    out[used++] = '.';
    size_t kept = form == kWholeName ? nameLength : 0;
    if (form == kCutName) {
        // ".CUT~HHHHHHHH.quenvale-XXXXXX.tmp" within the longest name; the
        // cut never splits a UTF-8 sequence or a UTF-16 pair.
        kept = nameLength < kLongestFileName - 30 ? nameLength : kLongestFileName - 30;
        while (kept > 0 && kept < nameLength &&
               (sizeof(Char) == 1 ? (name[kept] & 0xC0) == 0x80 : name[kept] >= 0xDC00 && name[kept] <= 0xDFFF)) {
            --kept;
        }
    }
    for (size_t i = 0; i < kept; ++i) {
        out[used++] = name[i];
    }
    if (form != kWholeName) {
        uint32_t hash = 2166136261u;  // FNV-1a of the whole name
        for (size_t i = 0; i < nameLength; ++i) {
            hash = (hash ^ static_cast<uint32_t>(name[i])) * 16777619u;
        }
        out[used++] = '~';
        for (int shift = 28; shift >= 0; shift -= 4) {
            out[used++] = static_cast<Char>("0123456789abcdef"[hash >> shift & 0xF]);
        }
    }
    for (const char* part = ".quenvale-"; *part != 0; ++part) {
        out[used++] = static_cast<Char>(*part);
    }
    for (int i = 0; i < 6; ++i, random /= 62) {
        out[used++] = static_cast<Char>(kAlphabet[random % 62]);
    }
    for (const char* part = ".tmp"; *part != 0; ++part) {
        out[used++] = static_cast<Char>(*part);
    }
    out[used] = 0;
    return used;
}

}  // namespace quenvale

#endif
