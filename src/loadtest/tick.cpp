#include "loadtest/tick.hpp"

#include <boost/format.hpp>

#include <stdexcept>
#include <string>

namespace zarn {
namespace quorvelin {

std::uint32_t run_rate(std::uint32_t clients)
{
    check_client_count(clients);
    return clients + (microseconds_per_second % clients != 0 ? 1 : 0);
}

void check_client_count(std::uint32_t clients)
{
    if (clients < 1 || clients > max_clients_per_second)
        throw std::out_of_range("clients must be between 1 and " +
                                std::to_string(max_clients_per_second));
}

std::optional<std::chrono::milliseconds> lateness(tick_clock::time_point now, tick_clock::time_point due)
{
    if (now <= due)
        return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - due);
}

void print_progress(std::uint32_t tick, tick_stats const& s, progress_rates const& r)
{
    if (!g_opt_verbose || g_opt_quiet)
        return;
    std::cout << boost::format("%4d %7d %7d %7d | %7d %7d %7d | %7d %7d %7d") % tick % s.results
                     % s.timeouts % s.pending % r.low % r.rate % r.high % s.avg_ms % s.max_ms % s.min_ms
              << std::endl;
}

void print_duplicate_leases(std::uint32_t tick, measurements const& second)
{
    if (!g_opt_verbose || g_opt_quiet || !g_opt_check_leases)
        return;
    if (const std::uint64_t n = duplicate_leases(second))
        std::cout << "Duplicate leases in tick " << tick << ": " << n << std::endl;
}

} // namespace quorvelin
} // namespace zarn
