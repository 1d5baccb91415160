#include "message/client/client_identity.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

constexpr std::uint32_t documentation_enterprise = 32473;

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of one line: pairs of hexadecimal digits, optionally parted by
// colons; empty when the line is not that.
std::vector<unsigned char> bytes_of(const std::string& line)
{
    std::vector<unsigned char> out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (i + 1 >= line.size() || hex_value(line[i]) < 0 || hex_value(line[i + 1]) < 0)
            return {};
        out.push_back(static_cast<unsigned char>(hex_value(line[i]) << 4 | hex_value(line[i + 1])));
        i += 2;
        if (i < line.size() && line[i] == ':' && i + 1 < line.size())
            ++i;
    }
    return out;
}

std::string trimmed(const std::string& s)
{
    const std::size_t hash = s.find('#');
    const std::string text = s.substr(0, hash);
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

void put16(unsigned char* p, unsigned v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

void put32(unsigned char* p, std::uint32_t v)
{
    put16(p, v >> 16);
    put16(p + 2, v & 0xffff);
}

// The low `count` bytes of `v`, most significant first.
void put_low(unsigned char* p, std::uint64_t v, int count)
{
    for (int i = 0; i < count; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * (count - 1 - i)));
}

// Identifiers of DUID-EN take four bytes up to here, eight from here on.
constexpr std::uint64_t four_byte_numbers = std::uint64_t(1) << 32;

} // namespace

client_identities client_identities::from_text(const std::string& text, const std::string& path)
{
    client_identities ids;
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        const std::string duid = trimmed(line);
        if (duid.empty())
            continue;
        std::vector<unsigned char> bytes = bytes_of(duid);
        if (bytes.empty())
            throw std::runtime_error(path + ":" + std::to_string(number) + ": '" + duid +
                                     "' is not a DUID in hexadecimal (such as 00:03:00:01:00:00:00:00:00:2a "
                                     "or 0003000100000000002a)");
        if (bytes.size() < 3 || bytes.size() > max_duid)
            throw std::runtime_error(path + ":" + std::to_string(number) + ": a DUID of " +
                                     std::to_string(bytes.size()) +
                                     " bytes: RFC 8415 allows 3 to 130 (a type and at least one byte)");
        ids.from_file.push_back(std::move(bytes));
    }
    if (ids.from_file.empty())
        throw std::runtime_error(path + ": no DUID in it");
    return ids;
}

duid_form client_identities::form_named(const std::string& name)
{
    if (name == "llt")
        return duid_form::llt;
    if (name == "ll")
        return duid_form::ll;
    if (name == "en")
        return duid_form::en;
    if (name == "uuid")
        return duid_form::uuid;
    throw std::runtime_error("--duid-type " + name + ": llt, ll, en or uuid");
}

std::size_t client_identities::write(std::uint64_t n, unsigned char* out) const
{
    if (!from_file.empty()) {
        const auto& duid = from_file[n % from_file.size()];
        std::memcpy(out, duid.data(), duid.size());
        return duid.size();
    }
    // n's low six bytes as a link-layer address: 00:00:00 and three bytes
    // of n below 2^24, as the numbers of one generator always were.
    unsigned char address[6];
    put_low(address, n, 6);
    switch (form) {
    case duid_form::llt:
        put16(out, 1);
        put16(out + 2, 1);
        put32(out + 4, 0);
        std::memcpy(out + 8, address, 6);
        return 14;
    case duid_form::ll:
        put16(out, 3);
        put16(out + 2, 1);
        std::memcpy(out + 4, address, 6);
        return 10;
    case duid_form::en:
        put16(out, 2);
        put32(out + 2, documentation_enterprise);
        if (n < four_byte_numbers) {
            put32(out + 6, static_cast<std::uint32_t>(n));
            return 10;
        }
        put_low(out + 6, n, 8);
        return 14;
    case duid_form::uuid:
        put16(out, 4);
        std::memset(out + 2, 0, 16);
        out[2 + 6] = 0x40; // version 4
        out[2 + 8] = 0x80; // the RFC 4122 variant
        put_low(out + 2 + 10, n, 6);
        return 18;
    }
    return 0;
}

std::vector<unsigned char> client_identities::duid(std::uint64_t n) const
{
    unsigned char bytes[max_duid];
    return std::vector<unsigned char>(bytes, bytes + write(n, bytes));
}

std::size_t client_identities::longest() const noexcept
{
    if (!from_file.empty())
        return std::max_element(from_file.begin(), from_file.end(),
                                [](const auto& a, const auto& b) { return a.size() < b.size(); })
            ->size();
    switch (form) {
    case duid_form::llt:
    case duid_form::en: // eight bytes of identifier from 2^32 on
        return 14;
    case duid_form::uuid:
        return 18;
    default:
        return 10;
    }
}

} // namespace quorvelin
} // namespace zarn
