#include "message/client/client_template.hpp"

#include <cstdio>

namespace zarn {
namespace quorvelin {

namespace {

// Widths up to those of a 32-bit number: 10 decimal digits, 8 hexadecimal
// (a wider number takes the digits it needs).
constexpr unsigned max_decimal_width = 10;
constexpr unsigned max_hex_width = 8;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<client_template> client_template::parse(const std::string& text)
{
    if (text.find_first_of("{}") == std::string::npos)
        return std::nullopt;
    client_template t;
    t.written = text;
    piece current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                current.literal += '}';
                ++i;
                continue;
            }
            throw template_error("a '}' that closes no variable (write }} for the character)", i);
        }
        if (c != '{') {
            current.literal += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '{') {
            current.literal += '{';
            ++i;
            continue;
        }
        const std::size_t close = text.find('}', i);
        if (close == std::string::npos)
            throw template_error("a '{' that is never closed (write {{ for the character)", i);
        const std::string inside = text.substr(i + 1, close - i - 1);
        const std::size_t colon = inside.find(':');
        const std::string name = inside.substr(0, colon);
        if (name == "client")
            current.what = piece::variable::client;
        else if (name == "link")
            current.what = piece::variable::link;
        else
            throw template_error("unknown variable {" + inside + "}: use {client} or {link}", i);
        if (colon != std::string::npos) {
            std::string format = inside.substr(colon + 1);
            current.hex = !format.empty() && format.back() == 'x';
            if (current.hex)
                format.pop_back();
            for (char d : format)
                if (!is_digit(d))
                    throw template_error("{" + inside + "}: the format is digits for the width, then x for "
                                         "hexadecimal, such as {" + name + ":6} or {" + name + ":04x}", i);
            const unsigned widest = current.hex ? max_hex_width : max_decimal_width;
            if (format.size() > 2 || (!format.empty() && unsigned(std::stoul(format)) > widest))
                throw template_error("{" + inside + "}: a width of " + format + " does not fit: " +
                                         (current.hex ? "a hexadecimal" : "a decimal") +
                                         " number has at most " + std::to_string(widest) + " digits",
                                     i);
            current.width = format.empty() ? 0 : static_cast<std::uint8_t>(std::stoul(format));
        }
        t.pieces.push_back(std::move(current));
        current = piece();
        i = close;
    }
    t.pieces.push_back(std::move(current));
    return t;
}

void client_template::expand(std::uint64_t client, std::uint32_t link, std::vector<unsigned char>& out) const
{
    for (const piece& p : pieces) {
        out.insert(out.end(), p.literal.begin(), p.literal.end());
        if (p.what == piece::variable::none)
            continue;
        char digits[24];
        const unsigned long long n = p.what == piece::variable::client ? client : link;
        const int length = std::snprintf(digits, sizeof digits, p.hex ? "%0*llx" : "%0*llu", int(p.width), n);
        out.insert(out.end(), digits, digits + length);
    }
}

std::string client_template::expand(std::uint64_t client, std::uint32_t link) const
{
    std::vector<unsigned char> bytes;
    expand(client, link, bytes);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace quorvelin
} // namespace zarn
