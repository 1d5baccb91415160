#include "engine/client_messages.hpp"

#include "message/wire.hpp"

namespace zarn {
namespace quorvelin {

namespace {

// Clears the build's scratch buffers however the build ends.
struct clear_after_build {
    scratch_buffer& previous;
    scratch_buffer& output;
    ~clear_after_build()
    {
        previous.clear();
        output.clear();
    }
};

} // namespace

client_messages::range client_messages::start_fresh(std::int32_t id)
{
    char* end = top_param::init_packet(id, answered.begin(), answered.end());
    answered.note(static_cast<std::size_t>(end - answered.begin()));
    // The identity alone, not the packet: it is the one exact-size range.
    return {answered.begin(), end};
}

client_messages::restart client_messages::start_restart(stored_message& last)
{
    answered.load(last.data, last.size);
    pool.release(last);
    const char* message = answered.begin();
    const char* message_end = answered.end();
    relay_param::get_message(message, message_end);
    return {{answered.begin(), answered.end()}, wire::read_xid(message, answered.end())};
}

std::ptrdiff_t client_messages::build(stored_message& last, const top_param& scene, const char* reply_begin,
                                      const char* reply_end)
{
    build_outcome ignored;
    return build(last, scene, reply_begin, reply_end, ignored);
}

std::ptrdiff_t client_messages::build(stored_message& last, const top_param& scene, const char* reply_begin,
                                      const char* reply_end, build_outcome& outcome)
{
    clear_after_build clear{previous, output};
    previous.load(last.data, last.size);
    // The build writes over the last message, as it would in place.
    output.load(last.data, last.size);

    char* end;
    try {
        end = scene.build_packet(output.begin(), output.end(), reply_begin, reply_end, previous.begin(),
                                 previous.end(), 0, outcome);
    } catch (...) {
        keep_partial(last);
        throw;
    }
    if (!end) {
        keep_partial(last);
        return -1;
    }
    // The encoder zeroes the packet past the message it returns.
    const auto length = static_cast<std::size_t>(end - output.begin());
    output.note(length);
    pool.store(last, output.begin(), length);
    return static_cast<std::ptrdiff_t>(length);
}

void client_messages::keep_partial(stored_message& last)
{
    const std::size_t extent = output.extent();
    output.note(extent);
    pool.store(last, output.begin(), extent);
}

} // namespace quorvelin
} // namespace zarn
