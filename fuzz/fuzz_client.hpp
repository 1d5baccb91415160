#ifndef QUORVELIN_FUZZ_FUZZ_CLIENT_HPP
#define QUORVELIN_FUZZ_FUZZ_CLIENT_HPP

// What both fuzz targets share: a debug log that swallows everything (so the
// logging paths run), scenario loading from memory, and one simulated client
// driven through build_packet in place and the way the transaction manager
// drives it, which must agree. Every range handed to the code under test is a
// heap block of exactly its size, so AddressSanitizer reports any byte read
// or written outside it.

#include "engine/client_messages.hpp"
#include "main/options/options.hpp"
#include "message/param.hpp"
#include "scenario/load.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
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

// Every alternative cursor of a message and its relay layers, so that one
// message can be built twice from the same state.
class cursors {
public:
    explicit cursors(const param& node) { save(node); }
    void restore() const
    {
        for (const auto& saved : saved_)
            saved.first->current_ = saved.second;
    }

private:
    void save(const param& node)
    {
        if (auto option = dynamic_cast<const option_param*>(&node))
            saved_.emplace_back(option, option->current_);
        for (const auto& child : node.params_)
            save(*child);
        if (auto top = dynamic_cast<const top_param*>(&node))
            for (const auto& layer : top->relays_)
                save(*layer);
    }

    std::vector<std::pair<const option_param*, option_param::values_type::iterator>> saved_;
};

// One client, built twice over: in place in a packet buffer of its own, as
// the encoder's contract has it, and the engine's way, its last message kept
// in storage sized to it and each build done in scratch buffers. Both must
// give the same result and keep the same last message.
class client {
public:
    client() : buffer_(packet_size, 0) {}
    ~client() { engine().release(last_); }

    // Builds `message` answering the reply [reply_begin, reply_end) and
    // checks what build_packet promises. Returns the length of the message
    // built, or 0 when there is none (a refused IA, a reply without a
    // message, or output that does not fit).
    std::size_t build(const top_param& message, const char* reply_begin, const char* reply_end)
    {
        const cursors before(message);
        const std::string in_place = build_in_place(message, reply_begin, reply_end);
        before.restore();
        std::string engine_way;
        try {
            const std::ptrdiff_t n = engine().build(last_, message, reply_begin, reply_end);
            engine_way = n < 0 ? "null" : std::to_string(n);
        } catch (const std::runtime_error& e) {
            engine_way = e.what();
        }
        if (engine_way != in_place)
            finding("the engine's build gave " + engine_way + ", in place " + in_place);
        if (last_.size > packet_size || std::memcmp(last_.data, buffer_.data(), last_.size) != 0 ||
            std::any_of(buffer_.begin() + last_.size, buffer_.end(), [](char c) { return c != 0; }))
            finding("the engine's last message differs from the packet buffer");
        if (!engine().scratch_clear())
            finding("a scratch buffer not zero after a build");
        return length_;
    }

    // The last request as an exact-size block.
    bytes last_request() const { return bytes(buffer_.begin(), buffer_.begin() + length_); }

    // Restarted after a timeout through the engine's restart: returns the
    // message the first scenario message answers, the whole zero-tailed
    // packet, and the client starts again without a previous request. When
    // its last build succeeded, the restart must find the client's `id` in it.
    bytes restart(std::int32_t id)
    {
        const auto restarted = engine().start_restart(last_);
        const bytes whole(restarted.answered.begin, restarted.answered.end);
        engine().end_start();
        if (whole != buffer_)
            finding("a restart does not answer the whole packet buffer");
        if (length_ != 0 && restarted.id != (id & 0xffffff))
            finding("a restart does not find the client's id under the relay layers");
        std::fill(buffer_.begin(), buffer_.end(), 0);
        length_ = 0;
        return whole;
    }

private:
    // The build in place; "null", the length, or the encoder's error.
    std::string build_in_place(const top_param& message, const char* reply_begin, const char* reply_end)
    {
        const bytes previous = buffer_;
        char* const out = buffer_.data();
        char* last = nullptr;
        length_ = 0;
        try {
            last = message.build_packet(out, out + buffer_.size(), reply_begin, reply_end, previous.data(),
                                        previous.data() + previous.size(), 0);
        } catch (const std::runtime_error& e) {
            if (!is_encoder_error(e.what()))
                finding(std::string("unexpected encoder error: ") + e.what());
            return e.what();
        }
        if (!last)
            return "null";
        if (last <= out || last > out + buffer_.size())
            finding("message end outside the packet buffer");
        for (const char* p = last; p != out + buffer_.size(); ++p)
            if (*p != 0)
                finding("packet buffer not zeroed past the message");
        check_transaction_id(message, reply_begin, reply_end);
        length_ = static_cast<std::size_t>(last - out);
        return std::to_string(length_);
    }

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

    // One for all clients, as the engine has one for all.
    static zarn::quorvelin::client_messages& engine()
    {
        static zarn::quorvelin::client_messages messages;
        return messages;
    }

    bytes buffer_;
    std::size_t length_ = 0;
    zarn::quorvelin::stored_message last_;
};

} // namespace fuzz

#endif
