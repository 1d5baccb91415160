#ifndef QUORVELIN_FUZZ_FUZZ_CLIENT_HPP
#define QUORVELIN_FUZZ_FUZZ_CLIENT_HPP

// What both fuzz targets share: a debug log that swallows everything (so the
// logging paths run), scenario loading from memory, and one simulated client
// driven through build_packet the way the transaction manager drives it.
// Every range handed to the code under test is a heap block of exactly its
// size, so AddressSanitizer reports any byte read or written outside it.

#include "main/options.hpp"
#include "message/param.hpp"
#include "scenario/load.hpp"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

namespace fuzz {

using zarn::quorvelin::option_param;
using zarn::quorvelin::param;
using zarn::quorvelin::relay_param;
using zarn::quorvelin::top_param;
using scenario = std::vector<std::shared_ptr<top_param>>;
using bytes = std::vector<char>; // std::allocator gives a block of exactly size()

constexpr std::size_t packet_size = 1500;

// A violated invariant: print it and abort, which libFuzzer reports as a crash.
[[noreturn]] inline void finding(const std::string& what)
{
    std::cerr << "fuzz finding: " << what << std::endl;
    std::abort();
}

class discard_buffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Points g_opt_log at a stream that accepts and drops every write.
inline void log_to_nowhere()
{
    static discard_buffer buffer;
    g_opt_log.reset(new std::ostream(&buffer));
}

// Loads scenario texts in order, as the loading step does with files, and
// returns the messages filed; g_opt_scenario is left empty. A text that fails
// to load is skipped the way its error would end the program: with a
// std::exception. Anything else escapes and is a finding.
inline scenario load(const std::vector<std::string>& texts)
{
    g_opt_scenario.clear();
    g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
    g_opt_recv_port = 546;
    std::shared_ptr<top_param> relay;
    for (const auto& text : texts) {
        std::istringstream in(text);
        try {
            add_scene(in, relay);
        } catch (const std::exception&) {
        }
    }
    scenario loaded;
    loaded.swap(g_opt_scenario);
    return loaded;
}

// Puts every alternative cursor back where loading left it, so that an input
// gives the same result however many inputs ran before it.
inline void rewind(const param& node)
{
    if (auto option = dynamic_cast<const option_param*>(&node))
        option->current_ = const_cast<option_param::values_type&>(option->values_).end();
    for (const auto& child : node.params_)
        rewind(*child);
    if (auto top = dynamic_cast<const top_param*>(&node))
        for (const auto& layer : top->relays_)
            rewind(*layer);
}

inline bool is_encoder_error(const std::string& what)
{
    return what == "paket too short" || what == "packet too short" || what == "relay param too short";
}

// One client: its packet buffer holds its last request, built in place.
class client {
public:
    client() : buffer_(packet_size, 0) {}

    // Builds `message` answering the reply [reply_begin, reply_end) and
    // checks what build_packet promises. Returns the length of the message
    // built, or 0 when there is none (a refused IA, a reply without a
    // message, or output that does not fit).
    std::size_t build(const top_param& message, const char* reply_begin, const char* reply_end)
    {
        const bytes previous = buffer_;
        char* const out = buffer_.data();
        char* last = nullptr;
        try {
            last = message.build_packet(out, out + buffer_.size(), reply_begin, reply_end, previous.data(),
                                        previous.data() + previous.size(), 0);
        } catch (const std::runtime_error& e) {
            if (!is_encoder_error(e.what()))
                finding(std::string("unexpected encoder error: ") + e.what());
            return length_ = 0;
        }
        if (!last)
            return length_ = 0;
        if (last <= out || last > out + buffer_.size())
            finding("message end outside the packet buffer");
        for (const char* p = last; p != out + buffer_.size(); ++p)
            if (*p != 0)
                finding("packet buffer not zeroed past the message");
        check_transaction_id(message, reply_begin, reply_end);
        return length_ = static_cast<std::size_t>(last - out);
    }

    // The last request as an exact-size block, or the whole zero-tailed
    // packet buffer as the engine keeps it.
    bytes last_request() const { return bytes(buffer_.begin(), buffer_.begin() + length_); }
    const bytes& packet() const { return buffer_; }

private:
    // Every message of a client carries the transaction id of the message it
    // answers; relay layers wrap it unchanged.
    void check_transaction_id(const top_param& message, const char* reply_begin, const char* reply_end) const
    {
        const char* inner = buffer_.data();
        for (std::size_t layer = 0; layer < message.relays_.size(); ++layer)
            inner += 38; // relay header and Relay Message option header
        relay_param::strip_relays(reply_begin, reply_end); // the message answered
        if (inner[0] != static_cast<char>(message.type_) || std::memcmp(inner + 1, reply_begin + 1, 3) != 0)
            finding("message type or transaction id not carried over");
    }

    bytes buffer_;
    std::size_t length_ = 0;
};

} // namespace fuzz

#endif
