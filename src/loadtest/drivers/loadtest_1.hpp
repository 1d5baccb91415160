#ifndef QUORVELIN_LOADTEST_DRIVERS_LOADTEST_1_HPP
#define QUORVELIN_LOADTEST_DRIVERS_LOADTEST_1_HPP

// The "once" test (once_mode): one batch of clients in the first second,
// ended when none is pending.

#include "loadtest/modes/once_mode.hpp"
#include "loadtest/drivers/test_driver.hpp"

class loadtest_1 : public zarn::quorvelin::test_driver<zarn::quorvelin::once_mode> {
public:
    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    explicit loadtest_1(boost::asio::io_service& io) : test_driver(io) {}
};

#endif
