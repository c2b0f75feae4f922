// The one DNS query this tool sends (a recursive A/IN query, RFC 1035
// section 4.1) and the two narrow readers of a reply that decide a server's
// verdict. Free of platform headers: replies come off the network, so this
// code is also built natively for sanitizers and the fuzzer.
#ifndef DNSCHECK_PROBE_DNS_MESSAGE_H
#define DNSCHECK_PROBE_DNS_MESSAGE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// Source of query IDs for the whole process: never reset, so IDs keep
// rising across scans and wrap from 0xFFFF to 0x0000.
extern std::atomic<std::uint32_t> QueryIdCounter;

enum AddressOutcome { Refused, NoAddress, Address };

// Writes the length-prefixed label form of a dotted name; returns the
// bytes written (the name's length + 2).
std::size_t EncodeName(unsigned char* out, const char* name);

// Writes the whole query for `name` into `buffer`; returns its length
// (the name's length + 18).
std::size_t BuildQuery(unsigned char* buffer, const char* name);

// Reads the first A/IN answer. `address`, when given, receives its four
// bytes on `Address`.
AddressOutcome FindAddressAnswer(const unsigned char* reply, std::size_t length,
                                 unsigned char* address = nullptr);

// True when the reply is refused or holds a CNAME/IN answer.
bool HasAliasAnswer(const unsigned char* reply, std::size_t length);

#endif
