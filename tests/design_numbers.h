// The numbers the tool is designed around, written out here instead of
// read from the product's constants, which a test that reads them would
// follow wherever they moved.
#ifndef DNSCHECK_TESTS_DESIGN_NUMBERS_H
#define DNSCHECK_TESTS_DESIGN_NUMBERS_H

// Workers of one scan.
const int Workers = 20;
// Least time between two sends of the process, in ms.
const unsigned SendGapMs = 10;
// Sends of the timed name to one server, at most; the timing ends at the
// first good answer to the fourth or a later one.
const int MostReferenceSends = 6;
const int EnoughReferenceSends = 4;
// Sends of the forged-answer check's name, at most; its first answer
// decides.
const int MostCheckSends = 4;
// Datagrams that are not the reply which may each restart one send's
// wait; one more makes the send a time-out.
const int MostStrayDatagrams = 16;

#endif
