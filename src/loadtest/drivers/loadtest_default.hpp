#ifndef QUORVELIN_LOADTEST_DRIVERS_LOADTEST_DEFAULT_HPP
#define QUORVELIN_LOADTEST_DRIVERS_LOADTEST_DEFAULT_HPP

// The "highload" test (highload_mode): the highest rate of new clients the
// server serves within the error threshold.

#include "loadtest/modes/highload_mode.hpp"
#include "loadtest/drivers/test_driver.hpp"

class loadtest_default : public zarn::quorvelin::test_driver<zarn::quorvelin::highload_mode> {
public:
    // Throws std::out_of_range when "clients" leaves no rate to probe.
    explicit loadtest_default(boost::asio::io_service& io) : test_driver(io) {}
};

#endif
