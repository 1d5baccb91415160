#ifndef QUORVELIN_LOADTEST_DRIVERS_LOADTEST_POPULATION_HPP
#define QUORVELIN_LOADTEST_DRIVERS_LOADTEST_POPULATION_HPP

// The "population" test (population_mode): a population of subscribers kept
// bound, renewing and rebinding, released at the end.

#include "loadtest/modes/population_mode.hpp"
#include "loadtest/drivers/test_driver.hpp"

class loadtest_population : public zarn::quorvelin::test_driver<zarn::quorvelin::population_mode> {
public:
    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    explicit loadtest_population(boost::asio::io_service& io) : test_driver(io) {}
};

#endif
