#ifndef QUORVELIN_MESSAGE_CLIENT_CLIENT_TEMPLATE_HPP
#define QUORVELIN_MESSAGE_CLIENT_CLIENT_TEMPLATE_HPP

// The text of a relay option written once for every client: literal bytes
// with placeholders for the client's number and its link's, so that each
// subscriber line of a simulated access network carries its own
// Interface-ID, Remote-ID or Subscriber-ID:
//
//   {client}  {link}        decimal
//   {client:6} {link:4}     decimal, zero-padded to at least that many digits
//   {client:x} {link:04x}   hexadecimal (lower case), optionally padded
//   {{  }}                  a literal brace
//
// A client's number is its number in the whole test, which every segment
// of a test gives the same client (see client_numbering); its link is that
// number modulo the test's links.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

// A malformed template: what is wrong, and the offset in its text where.
class template_error : public std::runtime_error {
public:
    template_error(const std::string& what, std::size_t offset) : std::runtime_error(what), offset(offset) {}
    std::size_t offset;
};

// A malformed template in a scenario file, and the line it stands on.
class positioned_error : public std::runtime_error {
public:
    positioned_error(const std::string& what, unsigned line) : std::runtime_error(what), line(line) {}
    unsigned line;
};

class client_template {
public:
    // The template in `text`, or nothing when the text holds no braces (it
    // is sent as written). Throws template_error when it is malformed: an
    // unknown variable, a width of more than 10 digits (8 in hexadecimal),
    // an unclosed or unopened brace.
    static std::optional<client_template> parse(const std::string& text);

    // Appends the text of client `client` on link `link` to `out`.
    void expand(std::uint64_t client, std::uint32_t link, std::vector<unsigned char>& out) const;
    std::string expand(std::uint64_t client, std::uint32_t link) const;

    // The template as written, for the debug log's scenario dump.
    const std::string& text() const noexcept { return written; }

private:
    struct piece {
        std::string literal; // before the variable
        enum class variable : std::uint8_t { none, client, link } what = variable::none;
        bool hex = false;
        std::uint8_t width = 0; // at least this many digits
    };

    std::string written;
    std::vector<piece> pieces;
};

} // namespace quorvelin
} // namespace zarn

#endif
