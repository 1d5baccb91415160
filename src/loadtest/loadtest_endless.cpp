#include "loadtest/loadtest_endless.hpp"

loadtest_endless::loadtest_endless(boost::asio::io_service& loop)
    : io(loop), timer(loop), rate(zarn::quorvelin::run_rate(g_opt_minimum))
{
}
