#include "engine/client_table.hpp"

#include "main/options/options.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <algorithm>

namespace zarn {
namespace quorvelin {

namespace {

// Microseconds from `from` to `to`; 0 if the wall clock was stepped back.
std::uint64_t micros(const transaction_info::time_point& from, const transaction_info::time_point& to)
{
    const auto ns = (to - from).count();
    return ns <= 0 ? 0 : static_cast<std::uint64_t>(ns) / 1000;
}

// The step a live client's last message belongs to: live entries have built
// at least their first message.
std::size_t awaited_step(const transaction_info& info)
{
    return static_cast<std::size_t>(info.scene_index - 1);
}

} // namespace

void result_totals::add(const transaction_info::time_point& start, const transaction_info::time_point& end)
{
    // Whole milliseconds; a completion before the start (the wall clock was
    // stepped back) counts as 0 rather than wrapping.
    const auto ns = (end - start).count();
    const std::uint32_t ms = ns <= 0 ? 0 : static_cast<std::uint32_t>(ns / 1000000);
    if (count == 0 || ms < min_ms)
        min_ms = ms;
    max_ms = std::max(max_ms, ms);
    sum_ms += ms;
    ++count;
}

client_table::client_table(std::size_t steps, segment share, std::int32_t first_xid, std::int32_t last_xid)
    : share(share), next_xid(first_xid < 0 ? share.first_id() : first_xid & xid_mask), last_xid(last_xid),
      counted(steps)
{
}

client_table::started_client client_table::start(const time_point& now)
{
    std::int32_t id;
    client_messages::range answered;
    if (free_buffers.empty()) {
        id = next_xid;
        while (id_taken && id_taken(id))
            id = fresh_after(id);
        next_xid = fresh_after(id);
        answered = messages.start_fresh(id);
    } else {
        // Restart: the client's last message becomes the message its first
        // scenario message answers, which keeps its id and identifiers; the
        // client starts without a previous request.
        const client_messages::restart restarted = messages.start_restart(free_buffers.front());
        free_buffers.pop_front();
        answered = restarted.answered;
        id = restarted.id;
    }
    client_entry made{id, stored_message(), transaction_info()};
    made.info.start_time = now;
    auto inserted = transactions.emplace(id, made);
    if (inserted.second)
        ++counted.clients.started;
    return {inserted.first->second, answered};
}

std::int32_t client_table::fresh_after(std::int32_t id) const
{
    // Ids stay within the 24 bits carried on the wire, so that a client's
    // table key always matches the id in its replies, and within the
    // segment's share, so that no other generator of the test uses them.
    const std::int32_t next = share.next_id(id);
    return next > last_xid ? share.first_id() : next;
}

client_entry* client_table::find(std::int32_t id)
{
    auto found = transactions.find(id);
    return found == transactions.end() ? nullptr : &found->second;
}

built_message client_table::build_next(client_entry& client, const char* reply_begin, const char* reply_end,
                                       const time_point& now)
{
    transaction_info& info = client.info;
    const std::int32_t scene = info.scene_index;
    info.scene_index = scene + 1;
    build_outcome outcome;
    built_message built;
    built.length = messages.build(client.last, *g_opt_scenario[static_cast<std::size_t>(scene)], reply_begin,
                                  reply_end, outcome);
    built.refused_status = outcome.refused_status;
    if (built.length >= 0) {
        info.send_time = now;
        info.retransmissions = 0;
    }
    return built;
}

std::ptrdiff_t client_table::build_detached(stored_message& scratch, const top_param& scene,
                                            const char* reply_begin, const char* reply_end)
{
    messages.release(scratch);
    return messages.build(scratch, scene, reply_begin, reply_end);
}

bool client_table::finished(const client_entry& client) const
{
    return static_cast<std::size_t>(client.info.scene_index) >= g_opt_scenario.size();
}

void client_table::count_sent(client_entry& client, std::uint64_t flush)
{
    ++counted.steps[awaited_step(client.info)].sent;
    client.info.queued_until_flush = flush;
}

void client_table::count_unsent(client_entry& client, const built_message& built)
{
    client.info.stalled = true;
    const std::size_t step = awaited_step(client.info);
    // A null build is a refusal when an IA of the reply refused; the refusal
    // belongs to the step whose answer carried it.
    const unsigned status = built.length < 0 ? built.refused_status : 0;
    if (status != 0 && step > 0)
        ++counted.steps[step - 1].refused[std::min<std::size_t>(status, status_slots - 1)];
    else
        ++counted.steps[step].unbuildable;
}

bool client_table::take_reply(client_entry& client, const char* message, const char* end, bool still_queued,
                              const time_point& arrived)
{
    transaction_info& info = client.info;
    const std::size_t awaited = awaited_step(info);
    const int type = message < end ? static_cast<int>(wire::get8(message)) : 0;
    const int asked = g_opt_scenario[awaited]->type_;
    // Nothing is awaited, or the awaited message has not left yet, or the
    // reply does not answer it; or it grants leases to a RELEASE or DECLINE,
    // which no answer to them does: it is a late second answer to an
    // earlier step, from a server that saw that request twice. (Every
    // message of a client carries its one transaction id, so a late second
    // REPLY to a REQUEST while a RENEW waits cannot be told from the
    // RENEW's own answer, which a server may send byte for byte alike.)
    const bool answer = !info.stalled && !still_queued && answers(asked, type) &&
                        !((asked == msg_release || asked == msg_decline) && grants_any_lease(message, end));
    if (!answer) {
        ++counted.steps[duplicated_step(info, type)].duplicates;
        return false;
    }
    step_measurements& step = counted.steps[awaited];
    ++step.answered;
    step.latency.record(micros(info.send_time, arrived));
    if (!wire::has_option(message, end, opt_server_identifier))
        ++step.no_server_id;
    return true;
}

std::size_t client_table::duplicated_step(const transaction_info& info, int type) const
{
    const std::size_t awaited = awaited_step(info);
    // The step whose answer the client took last: the awaited one when its
    // answer stopped it, else the one before (none before the first answer).
    const std::size_t taken = info.stopped_by_answer ? awaited : awaited == 0 ? 0 : awaited - 1;
    for (std::size_t step = taken + 1; step-- > 0;)
        if (answers(g_opt_scenario[step]->type_, type))
            return step;
    return taken;
}

int client_table::next_type(const client_entry& client) const
{
    const auto next = static_cast<std::size_t>(client.info.scene_index);
    return next < g_opt_scenario.size() ? g_opt_scenario[next]->type_ : 0;
}

bool client_table::take_verdict(client_entry& client, const reply_verdict& verdict)
{
    step_measurements& step = counted.steps[awaited_step(client.info)];
    if (!verdict.refused()) {
        if (verdict.no_binding)
            ++step.released_without_binding;
        return true;
    }
    client.info.stalled = true;
    client.info.stopped_by_answer = true;
    if (verdict.what == reply_verdict::kind::no_lease)
        ++step.no_lease_offered;
    else if (verdict.what == reply_verdict::kind::rapid_commit_not_honoured)
        ++step.rapid_commit_not_honoured;
    else
        ++step.refused[std::min<std::size_t>(verdict.status, status_slots - 1)];
    return false;
}

void client_table::complete(client_entry& client, const time_point& arrived)
{
    ++counted.clients.completed;
    counted.clients.last_completed = std::max(counted.clients.last_completed, arrived.time_since_epoch().count());
    counted.clients.latency.record(micros(client.info.start_time, arrived));
    results_since_clear.add(client.info.start_time, arrived);
    messages.release(client.last);
    transactions.erase(client.id);
}

table_stats client_table::stats(const time_point& cutoff)
{
    table_stats s;
    s.results = results_since_clear.count;
    for (auto it = transactions.begin(); it != transactions.end();) {
        client_entry& client = it->second;
        if (cutoff < client.info.send_time) {
            ++s.pending;
            ++it;
            continue;
        }
        ++s.timeouts;
        ++counted.clients.timed_out;
        if (client.info.stalled)
            ++counted.clients.stalled;
        else
            ++counted.steps[awaited_step(client.info)].timed_out;
        keep_for_restart(client);
        it = transactions.erase(it);
    }
    const result_totals& totals = results_since_clear;
    if (totals.count != 0) {
        s.avg_ms = static_cast<unsigned>(totals.sum_ms / totals.count);
        s.max_ms = totals.max_ms;
        s.min_ms = totals.min_ms;
    }
    return s;
}

void client_table::keep_for_restart(client_entry& client)
{
    // Only a client that had a reply is worth restarting.
    if (client.info.scene_index > 1)
        free_buffers.push_back(client.last);
    else
        messages.release(client.last);
}

void client_table::clear_results()
{
    counted.clients.cleared += transactions.size();
    for (auto& entry : transactions)
        keep_for_restart(entry.second);
    transactions.clear();
    results_since_clear = result_totals();
}

measurements client_table::take_measurements()
{
    measurements fresh(counted.steps.size());
    std::swap(fresh, counted);
    return fresh;
}

} // namespace quorvelin
} // namespace zarn
