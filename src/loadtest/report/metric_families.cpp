#include "loadtest/report/metric_families.hpp"

#include "loadtest/summary/summary_block.hpp"

#include <limits>
#include <utility>

namespace zarn {
namespace quorvelin {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr double microseconds_per_second = 1e6;

std::vector<ClientMetric::Label> base_labels(const metric_labels& labels)
{
    return {{"mode", labels.mode}, {"segment", labels.segment}};
}

// The labels of step k's series: its number from 1 and its message.
std::vector<ClientMetric::Label> step_labels(const metric_labels& labels, const metric_figures& fig, std::size_t k)
{
    auto l = base_labels(labels);
    l.push_back({"step", std::to_string(k + 1)});
    l.push_back({"message", k < fig.steps.size() ? fig.steps[k] : "?"});
    return l;
}

MetricFamily family(const char* name, const char* help, MetricType type)
{
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

void add_value(MetricFamily& f, std::vector<ClientMetric::Label> labels, double value)
{
    ClientMetric m;
    m.label = std::move(labels);
    if (f.type == MetricType::Counter)
        m.counter.value = value;
    else
        m.gauge.value = value;
    f.metric.push_back(std::move(m));
}

// A counter with one series per scenario step.
MetricFamily per_step(const char* name, const char* help, const metric_figures& fig, const metric_labels& labels,
                      std::uint64_t step_measurements::*field)
{
    MetricFamily f = family(name, help, MetricType::Counter);
    for (std::size_t k = 0; k < fig.totals.steps.size(); ++k) {
        add_value(f, step_labels(labels, fig, k), double(fig.totals.steps[k].*field));
    }
    return f;
}

// Refusals by step and status; only the statuses seen, since a series per
// code and step would be mostly zeros.
MetricFamily refusals(const metric_figures& fig, const metric_labels& labels)
{
    MetricFamily f = family("quorvelin_step_refused_total",
                            "Answers that refused the step's message, by status code", MetricType::Counter);
    for (std::size_t k = 0; k < fig.totals.steps.size(); ++k) {
        const step_measurements& s = fig.totals.steps[k];
        auto add = [&](std::string status, std::uint64_t count) {
            auto l = step_labels(labels, fig, k);
            l.push_back({"status", std::move(status)});
            add_value(f, std::move(l), double(count));
        };
        for (std::size_t status = 1; status < s.refused.size(); ++status)
            if (s.refused[status] != 0)
                add(refusal_name(status), s.refused[status]);
        if (s.no_lease_offered != 0)
            add("no lease offered", s.no_lease_offered);
    }
    return f;
}

// One histogram series of `h` in `f`, on the report's bucket bounds.
void add_histogram(MetricFamily& f, std::vector<ClientMetric::Label> labels, const latency_histogram& h)
{
    ClientMetric m;
    m.label = std::move(labels);
    m.histogram.sample_count = h.count();
    m.histogram.sample_sum = double(h.sum()) / microseconds_per_second;
    // A latency is kept in whole microseconds, truncated: a bucket whose
    // highest value is below `bound` holds only latencies below it.
    std::size_t bucket = 0;
    std::uint64_t below = 0;
    for (std::uint64_t bound : latency_bounds_us()) {
        for (; bucket < latency_histogram::bucket_count && latency_histogram::bucket_high(bucket) < bound; ++bucket)
            below += h.bucket(bucket);
        m.histogram.bucket.push_back({below, double(bound) / microseconds_per_second});
    }
    m.histogram.bucket.push_back({h.count(), std::numeric_limits<double>::infinity()});
    f.metric.push_back(std::move(m));
}

MetricFamily latency(const latency_histogram& h, const metric_labels& labels)
{
    MetricFamily f = family("quorvelin_client_latency_seconds",
                            "Time from a client's first message to the answer to its last", MetricType::Histogram);
    add_histogram(f, base_labels(labels), h);
    return f;
}

// A population's two exchanges, by the message that opens them.
struct exchange_of {
    const char* name;
    const exchange_counts& counts;
};

std::vector<ClientMetric::Label> exchange_labels(const metric_labels& labels, const char* exchange)
{
    auto l = base_labels(labels);
    l.push_back({"exchange", exchange});
    return l;
}

// A counter with one series per exchange, RENEW and REBIND.
MetricFamily per_exchange(const char* name, const char* help, const std::vector<exchange_of>& exchanges,
                          const metric_labels& labels, std::uint64_t exchange_counts::*field)
{
    MetricFamily f = family(name, help, MetricType::Counter);
    for (const exchange_of& e : exchanges)
        add_value(f, exchange_labels(labels, e.name), double(e.counts.*field));
    return f;
}

// Refusals by exchange and status, as refusals() counts the steps'.
MetricFamily exchange_refusals(const std::vector<exchange_of>& exchanges, const metric_labels& labels)
{
    MetricFamily f = family("quorvelin_population_refused_total",
                            "Answers to a RENEW or REBIND that refused it, by status code", MetricType::Counter);
    for (const exchange_of& e : exchanges) {
        auto add = [&](std::string status, std::uint64_t count) {
            auto l = exchange_labels(labels, e.name);
            l.push_back({"status", std::move(status)});
            add_value(f, std::move(l), double(count));
        };
        for (std::size_t status = 1; status < e.counts.refused.size(); ++status)
            if (e.counts.refused[status] != 0)
                add(refusal_name(status), e.counts.refused[status]);
        if (e.counts.no_lease_offered != 0)
            add("no lease offered", e.counts.no_lease_offered);
    }
    return f;
}

// A population test's subscribers and their renewals: the report's
// "population" record, live.
void add_population(std::vector<MetricFamily>& out, const population_counts& p, const metric_labels& labels)
{
    out.push_back(family("quorvelin_population_bound", "Subscribers bound now", MetricType::Gauge));
    add_value(out.back(), base_labels(labels), double(p.bound_now));
    out.push_back(family("quorvelin_population_leases_lost_total", "Leases whose valid lifetime ended unrenewed",
                         MetricType::Counter));
    add_value(out.back(), base_labels(labels), double(p.lost));
    out.push_back(family("quorvelin_population_unbound_total",
                         "Subscribers a refusal or a REPLY without a lease unbound", MetricType::Counter));
    add_value(out.back(), base_labels(labels), double(p.left));

    const std::vector<exchange_of> exchanges{{"RENEW", p.renew}, {"REBIND", p.rebind}};
    out.push_back(per_exchange("quorvelin_population_sent_total", "RENEWs and REBINDs sent, first transmissions",
                               exchanges, labels, &exchange_counts::sent));
    out.push_back(per_exchange("quorvelin_population_retransmitted_total", "RENEWs and REBINDs sent again",
                               exchanges, labels, &exchange_counts::retransmitted));
    out.push_back(per_exchange("quorvelin_population_answered_total", "REPLYs that renewed the lease", exchanges,
                               labels, &exchange_counts::answered));
    out.push_back(exchange_refusals(exchanges, labels));
    out.push_back(per_exchange("quorvelin_population_timed_out_total",
                               "RENEWs given up at T2, REBINDs at the end of the lease", exchanges, labels,
                               &exchange_counts::timed_out));
    out.push_back(family("quorvelin_population_latency_seconds",
                         "Time from a RENEW's or REBIND's first transmission to its answer, refusals included",
                         MetricType::Histogram));
    for (const exchange_of& e : exchanges)
        add_histogram(out.back(), exchange_labels(labels, e.name), e.counts.latency);
}

} // namespace

const std::vector<std::uint64_t>& latency_bounds_us()
{
    static const std::vector<std::uint64_t> bounds = [] {
        std::vector<std::uint64_t> b;
        for (unsigned power = 4; power < 26; ++power)
            for (std::uint64_t quarter = 4; quarter < 8; ++quarter)
                b.push_back(quarter << (power - 2));
        b.push_back(std::uint64_t(1) << 26);
        return b;
    }();
    return bounds;
}

std::vector<MetricFamily> metric_families(const metric_figures& fig, const metric_labels& labels)
{
    const client_measurements& c = fig.totals.clients;
    std::vector<MetricFamily> out;
    out.push_back(per_step("quorvelin_step_sent_total", "Messages of the step handed to the socket", fig, labels,
                           &step_measurements::sent));
    out.push_back(per_step("quorvelin_step_answered_total", "Replies taken as the answer to the step's message",
                           fig, labels, &step_measurements::answered));
    out.push_back(per_step("quorvelin_step_timed_out_total", "Clients that timed out waiting for the step's answer",
                           fig, labels, &step_measurements::timed_out));
    out.push_back(refusals(fig, labels));
    out.push_back(per_step("quorvelin_step_duplicates_total", "Further replies to a message already answered", fig,
                           labels, &step_measurements::duplicates));
    out.push_back(per_step("quorvelin_step_no_server_id_total", "Answers without a Server Identifier", fig, labels,
                           &step_measurements::no_server_id));
    out.push_back(per_step("quorvelin_step_not_built_total",
                           "Messages not sent: not buildable, or 1500 bytes or more", fig, labels,
                           &step_measurements::unbuildable));

    struct single {
        const char* name;
        const char* help;
        MetricType type;
        double value;
    };
    // Every started client completed, timed out, was cleared, or is live.
    const std::uint64_t pending = c.started - c.completed - c.timed_out - c.cleared;
    const single singles[] = {
        {"quorvelin_clients_started_total", "Clients started, restarts included", MetricType::Counter,
         double(c.started)},
        {"quorvelin_clients_completed_total", "Clients that went through their whole scenario", MetricType::Counter,
         double(c.completed)},
        {"quorvelin_clients_timed_out_total", "Clients that timed out", MetricType::Counter, double(c.timed_out)},
        {"quorvelin_datagrams_received_total", "Datagrams read from the socket", MetricType::Counter,
         double(fig.totals.received)},
        {"quorvelin_unmatched_replies_total", "Datagrams whose transaction id named no live client",
         MetricType::Counter, double(fig.totals.unmatched)},
        {"quorvelin_receive_buffer_drops_total", "Datagrams the kernel dropped for want of receive buffer",
         MetricType::Counter, double(fig.totals.rcvbuf_drops)},
        {"quorvelin_clients_pending", "Clients waiting for a reply", MetricType::Gauge, double(pending)},
        {"quorvelin_offered_clients_per_second", "New clients per second this generator starts in the current second",
         MetricType::Gauge, double(fig.offered)},
        {"quorvelin_finished", "1 once the test ended and its report is written", MetricType::Gauge,
         fig.finished ? 1.0 : 0.0},
    };
    for (const single& one : singles) {
        out.push_back(family(one.name, one.help, one.type));
        add_value(out.back(), base_labels(labels), one.value);
    }

    out.push_back(latency(c.latency, labels));
    // Other modes bind no population: no series of zeros for them.
    if (labels.mode == population_mode_label)
        add_population(out, fig.totals.population, labels);
    return out;
}

} // namespace quorvelin
} // namespace zarn
