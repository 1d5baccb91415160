#ifndef QUORVELIN_MESSAGE_CLIENT_CLIENT_IDENTITY_HPP
#define QUORVELIN_MESSAGE_CLIENT_CLIENT_IDENTITY_HPP

// The DUID each simulated client identifies itself with (RFC 8415 section
// 11), from its number n in the whole test (client_numbering): generated in
// one of four forms, or read from a file, one DUID a line, client n taking
// line n (round again when the file is shorter).
//
// Generated, with the link-layer address of n's six bytes (00:00:00 and
// three bytes of n below 2^24; hardware type 1, Ethernet):
//   llt   type 1, time 0, that address (14 bytes; the default)
//   ll    type 3, that address (10 bytes)
//   en    type 2, enterprise number 32473 (RFC 5612, for documentation),
//         identifier n in four bytes (10 bytes); from 2^32 on in eight
//         (14 bytes), so that the longer DUIDs stay apart from the shorter
//   uuid  type 4, the UUID 00000000-0000-4000-8000-nnnnnnnnnnnn: version 4
//         and variant bits set, n in its last six bytes (18 bytes)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

enum class duid_form { llt, ll, en, uuid };

// Which client of the whole test a transaction id of this generator names.
// Every mode but the population test gives a client the test's number as
// its id, and the segments keep to their own ids: numbering {0, 1}. A
// population segment I/N runs clients I, I+N, ... with ids 0, 1, ... of its
// own (ids need be unique within one socket only), so that each segment
// keeps as many subscribers as the id space holds: numbering {I, N}.
struct client_numbering {
    std::uint32_t first = 0;
    std::uint32_t stride = 1;

    std::uint64_t of(std::uint32_t xid) const noexcept { return first + std::uint64_t(stride) * xid; }
};

class client_identities {
public:
    // The longest DUID a client may carry (section 11.1: 130 bytes, its
    // type included).
    static constexpr std::size_t max_duid = 130;

    // Generated DUIDs of `form`.
    explicit client_identities(duid_form form = duid_form::llt) : form(form) {}
    // DUIDs from the text of a file named `path`: one a line, hexadecimal
    // bytes with or without colons, blank lines and '#' comments skipped.
    // Throws std::runtime_error "PATH:LINE: ..." for a bad line, and for a
    // file without any DUID.
    static client_identities from_text(const std::string& text, const std::string& path);

    // Parses a --duid-type value: "llt", "ll", "en" or "uuid".
    static duid_form form_named(const std::string& name);

    // Writes client n's DUID at out (room for max_duid bytes) and returns
    // its length.
    std::size_t write(std::uint64_t n, unsigned char* out) const;
    std::vector<unsigned char> duid(std::uint64_t n) const;

    // The longest DUID any client gets.
    std::size_t longest() const noexcept;
    // DUIDs read from a file; 0 when generated.
    std::size_t listed() const noexcept { return from_file.size(); }

private:
    duid_form form;
    std::vector<std::vector<unsigned char>> from_file;
};

} // namespace quorvelin
} // namespace zarn

#endif
