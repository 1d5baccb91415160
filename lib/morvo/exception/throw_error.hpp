#ifndef MORVO_EXCEPTION_THROW_ERROR_HPP
#define MORVO_EXCEPTION_THROW_ERROR_HPP

#include <boost/exception/exception.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

namespace morvo {
namespace exception {
namespace detail {

// A system error that also carries Boost.Exception's error information
// (throw location, cloning for exception_ptr).
template <class E>
class system_error_wrapper : public E, public boost::exception {
public:
    template <class... Args>
    explicit system_error_wrapper(Args&&... args) : E(std::forward<Args>(args)...) {}
};

} // namespace detail

// Throws ec as a system error whose what() is "<what>: <system message>".
// Returns normally when ec holds no error.
template <class String>
void throw_error(const boost::system::error_code& ec, const String& what)
{
    if (!ec)
        return;
    detail::system_error_wrapper<boost::system::system_error> error(ec, what);
    boost::throw_exception(error, BOOST_CURRENT_LOCATION);
}

} // namespace exception
} // namespace morvo

#endif
