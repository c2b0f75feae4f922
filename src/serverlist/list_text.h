// dns.ini's bytes as text: UTF-8 sequences, and the servers of a section
// as the profile functions split a file into lines, sections and entries.
// The file is untrusted, so this holds no platform include and builds
// natively for the sanitizers and the fuzzer.
#ifndef DNSCHECK_SERVERLIST_LIST_TEXT_H
#define DNSCHECK_SERVERLIST_LIST_TEXT_H

#include <cstddef>

// The blanks the profile format ignores around lines, keys and values.
bool IsBlank(char c);
bool SameBytes(const void* a, const void* b, std::size_t size);

// The code point of the UTF-8 sequence at `text[at]`, its length in
// *length. A byte that starts no valid sequence (a stray continuation, an
// overlong form, a surrogate, beyond U+10FFFF, or cut short) gives
// NoCodePoint and a length of 1.
const unsigned long NoCodePoint = 0xFFFFFFFFul;
unsigned long NextCodePoint(const unsigned char* text, std::size_t size, std::size_t at,
                            std::size_t* length);

enum Utf8Kind { NotUtf8, AsciiOnly, BeyondAscii };
Utf8Kind KindOfUtf8(const char* text, std::size_t size);

// The entries of `section` that name a server, in file order, each
// "address=location", or "address" alone where its line has no '=', and
// ended by a zero; a second zero ends the block. The profile format's
// rules: lines end at CR or LF, a zero byte ends a line's text; blanks
// around lines, keys and values, empty lines and comments (';') are
// dropped; a line that starts with '[' and holds a ']' opens a section,
// named by what stands between it and the last ']', case aside; only the
// first section of the name is read; the key ends at the first '='. A line with nothing
// before its '=' names no server.
// `leadBytes` flags the bytes that start a two-byte character in the
// file's code page, whose second byte may be a ']' that closes nothing;
// null for UTF-8 and single-byte code pages. `rows` has room for size + 2
// bytes, which the block never exceeds. Returns the block's length, its
// last zero not counted.
std::size_t SectionRows(const char* bytes, std::size_t size, const char* section,
                        const bool* leadBytes, char* rows);

#endif
