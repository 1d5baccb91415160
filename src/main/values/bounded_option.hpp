#ifndef QUORVELIN_MAIN_VALUES_BOUNDED_OPTION_HPP
#define QUORVELIN_MAIN_VALUES_BOUNDED_OPTION_HPP

// Whole-number options with a range. Program_options reads them through the
// validate() below instead of its standard unsigned parser, which would take
// "-1" as 4294967295; a value outside Min..Max, a leading minus included, is
// refused with the text as typed:
//   the argument ('-1') for option '--timeout' is out of range 1..86400
// Text that is not a number keeps the library's "is invalid" message.

#include <boost/program_options.hpp>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

template <std::uint32_t Min, std::uint32_t Max>
struct bounded_number {
    std::uint32_t value;
};

namespace detail {

// Digits with an optional sign; anything else is not a number.
inline bool is_signed_number(const std::string& text)
{
    const std::size_t first = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (first == text.size())
        return false;
    for (std::size_t i = first; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// The value of an unsigned number, or `limit` + 1 when it is above `limit`.
inline std::uint64_t capped_value(const std::string& digits, std::uint64_t limit)
{
    std::uint64_t value = 0;
    for (char digit : digits) {
        value = value * 10 + static_cast<unsigned>(digit - '0');
        if (value > limit)
            return limit + 1;
    }
    return value;
}

} // namespace detail

template <std::uint32_t Min, std::uint32_t Max>
void validate(boost::any& v, const std::vector<std::string>& values, bounded_number<Min, Max>*, int)
{
    namespace po = boost::program_options;
    po::validators::check_first_occurrence(v);
    const std::string& text = po::validators::get_single_string(values);
    if (!detail::is_signed_number(text))
        throw po::invalid_option_value(text);
    const std::uint64_t value = text[0] == '-' ? 0 : detail::capped_value(text.substr(text[0] == '+'), Max);
    if (text[0] == '-' || value < Min || value > Max) {
        po::error_with_option_name error("the argument ('%value%') for option '%canonical_option%' is out of range " +
                                         std::to_string(Min) + ".." + std::to_string(Max));
        error.set_substitute("value", text);
        throw error;
    }
    v = boost::any(bounded_number<Min, Max>{static_cast<std::uint32_t>(value)});
}

// An option that stores a number in Min..Max into `target`, whose value
// before parsing is the default (not shown in the option list).
template <std::uint32_t Min, std::uint32_t Max>
boost::program_options::typed_value<bounded_number<Min, Max>>* bounded_value(std::uint32_t& target)
{
    return boost::program_options::value<bounded_number<Min, Max>>()
        ->default_value(bounded_number<Min, Max>{target}, "")
        ->notifier([&target](const bounded_number<Min, Max>& number) { target = number.value; });
}

} // namespace quorvelin
} // namespace zarn

#endif
