#include "engine/reservations/reservation_check.hpp"

#include "message/ia_reader.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <arpa/inet.h>

#include <cctype>

#include <sstream>
#include <stdexcept>
#include <utility>

namespace zarn {
namespace quorvelin {

namespace {

std::string hex_of(const char* begin, const char* end)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char* p = begin; p < end; ++p) {
        out += digits[static_cast<unsigned char>(*p) >> 4];
        out += digits[static_cast<unsigned char>(*p) & 15];
    }
    return out;
}

// Hexadecimal bytes with or without colons, lower case without them; empty
// when the text is not that.
std::string plain_hex(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (c == ':' && i % 3 == 2)
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return "";
        out += c;
    }
    return out.size() % 2 == 0 ? out : "";
}

std::string text_of(const reserved_lease& l)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, l.bytes.data(), text, sizeof text);
    return l.length == 128 ? std::string(text) : std::string(text) + "/" + std::to_string(l.length);
}

// The option `code` among the options [begin, end); null when absent.
const char* option_in(const char* begin, const char* end, unsigned code)
{
    for (const char* p = begin; const std::size_t n = wire::option_size(p, end); p += n)
        if (wire::get16(p) == code)
            return p;
    return nullptr;
}

} // namespace

std::unordered_map<std::string, std::vector<reserved_lease>> reservation_check::read(const std::string& text,
                                                                                    const std::string& path)
{
    std::unordered_map<std::string, std::vector<reserved_lease>> reserved;
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::istringstream words(line.substr(0, line.find('#')));
        std::string who, lease;
        if (!(words >> who))
            continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        std::string extra;
        if (!(words >> lease) || (words >> extra))
            throw std::runtime_error(where + "a reservation is an identifier and an address or prefix, such as "
                                             "duid:00:03:00:01:00:00:00:00:00:2a 2001:db8:1:0:1::2a");
        const std::size_t colon = who.find(':');
        const std::string kind = who.substr(0, colon == std::string::npos ? 0 : colon);
        const std::string id = colon == std::string::npos ? "" : plain_hex(who.substr(colon + 1));
        if ((kind != "duid" && kind != "remote-id") || id.empty())
            throw std::runtime_error(where + "'" + who +
                                     "' is not duid:HEX or remote-id:HEX (bytes in hexadecimal, colons allowed)");
        reserved_lease l;
        const std::size_t slash = lease.find('/');
        const std::string address = lease.substr(0, slash);
        if (inet_pton(AF_INET6, address.c_str(), l.bytes.data()) != 1)
            throw std::runtime_error(where + "'" + lease + "' is not an IPv6 address or prefix");
        if (slash != std::string::npos) {
            const std::string length = lease.substr(slash + 1);
            if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(length) > 128)
                throw std::runtime_error(where + "'" + lease + "': a prefix length from 0 to 128");
            l.length = static_cast<unsigned>(std::stoul(length));
        }
        reserved[kind + ":" + id].push_back(l);
    }
    return reserved;
}

reservation_check::reservation_check(std::unordered_map<std::string, std::vector<reserved_lease>> reservations,
                                     std::size_t steps, std::ostream* debug_log)
    : reserved(std::move(reservations)), log(debug_log), checked(steps), not_honoured(steps)
{
}

const std::vector<reserved_lease>* reservation_check::reservations_of(const char* message, const char* end) const
{
    // Through the relay layers, keeping the innermost one's Remote-ID.
    const char* remote = nullptr;
    while (wire::is_relay_layer(message, end)) {
        const char* options = message + wire::relay_header;
        if (const char* r = option_in(options, end, opt_remote_id))
            remote = r;
        if (!wire::enter_relay_message(message, end))
            return nullptr;
    }
    if (wire::size(message, end) < wire::message_header)
        return nullptr;
    if (const char* cid = option_in(message + wire::message_header, end, opt_client_identifier)) {
        const auto found = reserved.find("duid:" + hex_of(cid + wire::option_header,
                                                          cid + wire::option_header + wire::get16(cid + 2)));
        if (found != reserved.end())
            return &found->second;
    }
    if (remote) {
        const auto found = reserved.find("remote-id:" + hex_of(remote + wire::option_header,
                                                               remote + wire::option_header + wire::get16(remote + 2)));
        if (found != reserved.end())
            return &found->second;
    }
    return nullptr;
}

void reservation_check::accepted(client_entry& client, const char* answer, const char* end, const time_point&)
{
    if (wire::size(answer, end) < wire::message_header || wire::get8(answer) != msg_reply)
        return;
    const std::vector<reserved_lease>* reserved_for = reservations_of(client.last.data, client.last.data + client.last.size);
    if (!reserved_for)
        return;
    const auto step = static_cast<std::size_t>(client.info.scene_index - 1);
    bool honoured = false;
    bool any = false;
    std::string granted;
    for_each_ia(answer, end, [&](const ia_view& ia) {
        ia.for_each_lease([&](const ia_lease& l) {
            if (l.valid == 0)
                return;
            any = true;
            reserved_lease got;
            std::copy(l.address, l.address + 16, got.bytes.begin());
            got.length = l.prefix_length;
            for (const reserved_lease& r : *reserved_for)
                honoured = honoured || r == got;
            granted += (granted.empty() ? "" : " ") + text_of(got);
        });
    });
    if (!any)
        return; // nothing granted: its refusal is counted as one
    ++checked[step];
    if (honoured)
        return;
    ++not_honoured[step];
    if (log)
        *log << "# reservation not honoured xid:" << client.id << ": reserved " << text_of(reserved_for->front())
             << ", granted " << granted << std::endl;
}

void reservation_check::take_counts(engine_snapshot& reading)
{
    for (std::size_t step = 0; step < checked.size() && step < reading.counted.steps.size(); ++step) {
        reading.counted.steps[step].reservations_checked += std::exchange(checked[step], 0);
        reading.counted.steps[step].reservations_not_honoured += std::exchange(not_honoured[step], 0);
    }
}

} // namespace quorvelin
} // namespace zarn
