#include "engine/segment.hpp"

#include <cctype>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

// Digits only, at most 4 of them: a segment number is below 1025.
bool read_number(const std::string& text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 4)
        return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

} // namespace

segment parse_segment(const std::string& text)
{
    const std::size_t slash = text.find('/');
    segment s;
    if (slash == std::string::npos || !read_number(text.substr(0, slash), s.index) ||
        !read_number(text.substr(slash + 1), s.count) || s.count < 1 || s.count > segment::max_count ||
        s.index >= s.count)
        throw std::invalid_argument("the argument ('" + text + "') for option '--segment' is not I/N with 0 <= I < N <= " +
                                    std::to_string(segment::max_count));
    return s;
}

} // namespace quorvelin
} // namespace zarn
