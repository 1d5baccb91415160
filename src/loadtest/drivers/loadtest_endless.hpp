#ifndef QUORVELIN_LOADTEST_DRIVERS_LOADTEST_ENDLESS_HPP
#define QUORVELIN_LOADTEST_DRIVERS_LOADTEST_ENDLESS_HPP

// The "endless" test (endless_mode): a constant rate in cycles, until the
// error ratio passes the threshold.

#include "loadtest/modes/endless_mode.hpp"
#include "loadtest/drivers/test_driver.hpp"

class loadtest_endless : public zarn::quorvelin::test_driver<zarn::quorvelin::endless_mode> {
public:
    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    explicit loadtest_endless(boost::asio::io_service& io) : test_driver(io) {}
};

#endif
