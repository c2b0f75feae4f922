// The two fixed names the probe asks for. Both begin with a label of three
// characters, which is how the reply walker recognises an owner name that
// repeats the question uncompressed.
#ifndef DNSCHECK_PROBE_QUERY_NAMES_H
#define DNSCHECK_PROBE_QUERY_NAMES_H

// Timed name: a large domestic site, which no filter on the path has reason
// to forge, so the time shown is the server's own and not that of an
// injected reply. Its answer is an alias followed by A records; the walker
// steps over the alias to the first address.
const char* const ReferenceName = "www.baidu.com";

// Forged-answer check: its genuine answer begins with a CNAME to the operator's
// load-balancing name, while injected replies for it, seen on filtered
// networks, carry bare A records only.
const char* const TamperProbeName = "www.youtube.com";

#endif
