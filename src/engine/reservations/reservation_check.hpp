#ifndef QUORVELIN_ENGINE_RESERVATIONS_RESERVATION_CHECK_HPP
#define QUORVELIN_ENGINE_RESERVATIONS_RESERVATION_CHECK_HPP

// The reservation check (--reservations FILE): the addresses and prefixes a
// server should grant certain clients, each known by its DUID or by the
// Remote-ID its relay adds, and every REPLY such a client accepts compared
// with them. A REPLY that grants none of a client's reserved leases (it
// granted something else, or nothing) is a reservation not honoured,
// counted at its step and written to the debug log. An engine feature: it
// reads only the answers the clients accept and the messages they sent.
//
// The file, one reservation a line ('#' comments and blank lines skipped):
//   duid:00:03:00:01:00:00:00:00:00:2a     2001:db8:1:0:1::2a
//   remote-id:00:00:00:09:6c:69:6e:65      2001:db8:2000:100::/56
// (hexadecimal with or without colons; a Remote-ID as its option's data,
// the enterprise number first, as --identities lists it).

#include "engine/features/feature.hpp"

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace zarn {
namespace quorvelin {

// A reserved lease: an address (length 128) or a prefix and its length.
struct reserved_lease {
    std::array<unsigned char, 16> bytes{};
    unsigned length = 128;
    bool operator==(const reserved_lease& o) const { return bytes == o.bytes && length == o.length; }
};

class reservation_check : public engine_feature {
public:
    // Reservations read from the text of a file named `path`. Throws
    // std::runtime_error "PATH:LINE: ..." for a line it cannot read.
    static std::unordered_map<std::string, std::vector<reserved_lease>> read(const std::string& text,
                                                                              const std::string& path);

    // `steps`: the scenario's messages; `log`: where each not honoured is
    // written, or null.
    reservation_check(std::unordered_map<std::string, std::vector<reserved_lease>> reserved, std::size_t steps,
                      std::ostream* log);

    void accepted(client_entry& client, const char* answer, const char* end, const time_point& arrived) override;
    void take_counts(engine_snapshot& reading) override;

    // The reservations of a client whose message is [message, end): by its
    // DUID first, else by the Remote-ID of its innermost relay layer; null
    // when it has none.
    const std::vector<reserved_lease>* reservations_of(const char* message, const char* end) const;

private:
    std::unordered_map<std::string, std::vector<reserved_lease>> reserved;
    std::ostream* log;
    // Since the last take_counts, per step: REPLYs checked, and not honoured.
    std::vector<std::uint64_t> checked;
    std::vector<std::uint64_t> not_honoured;
};

} // namespace quorvelin
} // namespace zarn

#endif
