#include "loadtest/loadtest_1.hpp"

loadtest_1::loadtest_1(boost::asio::io_service& loop)
    : io(loop), timer(loop)
{
    zarn::quorvelin::check_client_count(g_opt_minimum);
}
