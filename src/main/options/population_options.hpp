#ifndef QUORVELIN_MAIN_OPTIONS_POPULATION_OPTIONS_HPP
#define QUORVELIN_MAIN_OPTIONS_POPULATION_OPTIONS_HPP

// The options of the population test (--test-mode population) and the
// messages its bound subscribers send besides their scenario: RENEW at T1,
// REBIND at T2, RELEASE when the test ends. Scenario files of those types
// replace the built-in ones instead of joining the scenario.

#include <boost/program_options.hpp>

#include <cstdint>
#include <memory>

namespace zarn {
namespace quorvelin {
class top_param;
}
}

// The most subscribers one generator keeps: the clients that bind take the
// 8,388,608 transaction ids below exchange_registry::first_id, and some of
// them must stay free for the clients walking their scenario. A larger
// population is split into segments (--segment I/N), each keeping its share.
constexpr std::uint32_t max_population = 8000000;
// The largest --population of a whole test: its segments' shares together.
constexpr std::uint32_t max_whole_population = 0xFFFFFFFF;
// The largest and smallest time compression.
constexpr double max_time_compression = 1000000;
constexpr double min_time_compression = 0.001;

// --population N: subscribers the whole test keeps bound (a segment keeps
// its share); 0 outside the population test.
extern std::uint32_t g_opt_population;
// --steady-start: each subscriber's first renewal at a random point of its
// first T1, so that renewals come evenly from the first one on.
extern bool g_opt_steady_start;
// --time-compression F: lease seconds and the RENEW and REBIND backoff run F times faster.
extern double g_opt_time_compression;

struct population_scenes {
    std::shared_ptr<zarn::quorvelin::top_param> renew;
    std::shared_ptr<zarn::quorvelin::top_param> rebind;
    std::shared_ptr<zarn::quorvelin::top_param> release;
};
extern population_scenes g_opt_population_scenes;

// Adds the options to `options`.
void add_population_options(boost::program_options::options_description& options);
// Checks them against the mode and, in the population test, takes the
// RENEW, REBIND and RELEASE messages out of the loaded scenario (built-in
// ones where it has none, or when the scenario is the built-in one). Throws
// std::runtime_error with the reason.
void take_population_options(const boost::program_options::variables_map& vm, bool built_in_scenario);

#endif
