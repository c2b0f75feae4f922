// Drives both reply walkers with arbitrary bytes. The input is copied into
// an exactly sized buffer so that any read past `length` is reported.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "probe/dns_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<unsigned char> reply(data, data + size);
  unsigned char address[4];
  AddressOutcome outcome = FindAddressAnswer(reply.data(), reply.size(), address);
  bool alias = HasAliasAnswer(reply.data(), reply.size());
  // A refusal is the one verdict both walkers must share.
  if ((outcome == Refused) != (size >= 4 && (data[3] & 0x0F) == 5)) __builtin_trap();
  if (outcome == Refused && !alias) __builtin_trap();
  if (outcome == Address && (address[0] | address[1] | address[2] | address[3]) == 0)
    __builtin_trap();
  return 0;
}
