#include "main/identity_listing.hpp"

#include "main/options/access_options.hpp"
#include "main/options/options.hpp"
#include "message/client/client_identity.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace zarn::quorvelin;

std::string hex(const char* begin, const char* end, bool colons)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char* p = begin; p < end; ++p) {
        if (colons && p != begin)
            out += ':';
        out += digits[static_cast<unsigned char>(*p) >> 4];
        out += digits[static_cast<unsigned char>(*p) & 15];
    }
    return out;
}

std::string printable(const char* begin, const char* end)
{
    std::string text(begin, end);
    for (char c : text)
        if (c < 0x20 || c > 0x7e)
            return "";
    return text;
}

// What one client's first message carries.
struct identity {
    std::string duid;
    std::string link_address;                              // empty without relay layers
    std::vector<std::pair<int, std::string>> relay_options; // the innermost layer's, by code: their data
};

// Builds client n's first message and reads it: through the relay layers,
// keeping the innermost one's, to the Client Identifier.
identity identity_of(std::uint32_t n)
{
    std::array<char, wire::packet_size> seed{}, message{};
    const char* seed_end = top_param::init_packet(static_cast<int>(n), seed.data(), seed.data() + seed.size());
    const char* end =
        g_opt_scenario.front()->build_packet(message.data(), message.data() + message.size(), seed.data(), seed_end,
                                             nullptr, nullptr, 0);
    identity id;
    const char* begin = message.data();
    while (end && wire::is_relay_layer(begin, end)) {
        id.link_address = morvo::network::internet6_address(begin + 2).to_string();
        id.relay_options.clear();
        const char* inner = nullptr;
        const char* inner_end = nullptr;
        for (const char* p = begin + wire::relay_header; const std::size_t size = wire::option_size(p, end); p += size) {
            const unsigned code = wire::get16(p);
            if (code == opt_relay_message) {
                inner = p + wire::option_header;
                inner_end = p + size;
            } else {
                id.relay_options.emplace_back(code, std::string(p + wire::option_header, p + size));
            }
        }
        if (!inner)
            break;
        begin = inner;
        end = inner_end;
    }
    if (const char* cid = end ? wire::find_client_option(begin, end, opt_client_identifier) : nullptr)
        id.duid = hex(cid + wire::option_header, cid + wire::option_header + wire::get16(cid + 2), true);
    return id;
}

std::string column_of(int code)
{
    const char* name = option_name(code);
    return name ? name : "OPTION_" + std::to_string(code);
}

} // namespace

void print_identities(std::ostream& os, std::uint32_t count, bool as_json)
{
    // Clients are listed by their number in the whole test, whichever
    // segment the command line names: each is built as if its id were it.
    g_opt_client_numbering = zarn::quorvelin::client_numbering{};
    for (std::uint32_t n = 0; n < count; ++n) {
        const identity id = identity_of(n);
        const std::uint32_t link = n % g_opt_links;
        if (as_json) {
            nlohmann::ordered_json line = {{"client", n}, {"link", link}, {"duid", id.duid}};
            if (!id.link_address.empty()) {
                line["link_address"] = id.link_address;
                nlohmann::ordered_json options = nlohmann::ordered_json::object();
                for (const auto& [code, data] : id.relay_options)
                    options[column_of(code)] = {{"hex", hex(data.data(), data.data() + data.size(), false)},
                                                {"text", printable(data.data(), data.data() + data.size())}};
                line["relay_options"] = options;
            }
            os << line.dump() << '\n';
            continue;
        }
        if (n == 0) {
            os << "client,link,duid";
            if (!id.link_address.empty()) {
                os << ",link_address";
                for (const auto& option : id.relay_options)
                    os << ',' << column_of(option.first);
            }
            os << '\n';
        }
        os << n << ',' << link << ',' << id.duid;
        if (!id.link_address.empty()) {
            os << ',' << id.link_address;
            for (const auto& [code, data] : id.relay_options)
                os << ',' << hex(data.data(), data.data() + data.size(), true);
        }
        os << '\n';
    }
    os.flush();
}
