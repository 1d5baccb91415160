#ifndef QUORVELIN_MAIN_IDENTITY_LISTING_HPP
#define QUORVELIN_MAIN_IDENTITY_LISTING_HPP

// --identities K: what clients 0..K-1 of the test the command line
// describes would identify themselves with, so that an operator can give a
// server their reservations: each client's number, its link, its DUID, and
// the link-address and options of the relay layer next to it, read off
// its first scenario message as a run builds it. CSV with a header line, or
// JSON Lines (--identity-format jsonl).

#include <cstdint>
#include <ostream>

void print_identities(std::ostream& os, std::uint32_t count, bool as_json);

#endif
