#include "message/param.hpp"

#include <iomanip>
#include <locale>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

// Writes a single space padded on the left to `width` characters.
void pad(std::ostream& os, int width)
{
    os << std::setw(width) << " ";
}

void new_line(std::ostream& os)
{
    os << os.widen('\n') << std::flush;
}

bool all_graphic(const option_param::value_type& bytes)
{
    const std::locale locale;
    for (unsigned char b : bytes)
        if (!std::isgraph(static_cast<char>(b), locale))
            return false;
    return true;
}

void dump_alternative(std::ostream& os, const option_param::value_type& bytes)
{
    if (bytes.empty()) {
        os << "Empty";
        return;
    }
    os << "{" << std::hex;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        os << (i ? ":" : "") << unsigned(bytes[i]);
    os << std::dec << "}";
    if (all_graphic(bytes))
        os << " \"" << std::string(bytes.begin(), bytes.end()) << "\"";
}

} // namespace

// ---- param -------------------------------------------------------------

void param::next_scene() const
{
    for (const auto& child : params_)
        child->next_scene();
}

void param::dump(std::ostream& os, int indent) const
{
    if (params_.empty())
        return;
    new_line(os);
    int number = 0;
    for (const auto& child : params_) {
        pad(os, indent);
        os << "[" << ++number << "] ";
        child->dump(os, indent + 4);
        new_line(os);
    }
}

char* param::build_packet(char* out, char*, const char*, const char*) const
{
    return out;
}

// ---- top_param ---------------------------------------------------------

void top_param::next_scene() const
{
    for (const auto& relay : relays_)
        relay->next_scene();
    param::next_scene();
}

void top_param::dump(std::ostream& os, int indent) const
{
    os << type_ << " RELAYS=" << relays_.size() << std::endl;
    param::dump(os, indent + 4);
}

// ---- option_param ------------------------------------------------------

void option_param::next_scene() const
{
    // The cursor walks a ring of the alternatives plus the end position. It is
    // the one piece of state that changes after loading, hence mutable.
    auto& values = const_cast<values_type&>(values_);
    if (current_ == values.end())
        current_ = values.begin();
    else
        ++current_;
    param::next_scene();
}

void option_param::dump(std::ostream& os, int indent) const
{
    os << code_;
    if (is_auto_) {
        os << " = @auto";
        return;
    }
    os << " = ";
    const bool several = values_.size() > 1;
    if (several)
        os << "Any of";
    for (const auto& alternative : values_) {
        if (several) {
            new_line(os);
            pad(os, indent + 4);
        }
        dump_alternative(os, alternative);
    }
}

int option_param::optcode(const std::string& name)
{
    if (auto code = accepted_option_code(name))
        return *code;
    throw std::runtime_error(name + " : undefined option-name");
}

void option_param::append(value_type& out, const param_value& v)
{
    struct visitor : boost::static_visitor<void> {
        value_type& out;
        explicit visitor(value_type& o) : out(o) {}
        void operator()(const boost::blank& b) const { append(out, b); }
        void operator()(int x) const { append(out, x); }
        void operator()(long x) const { append(out, x); }
        void operator()(const std::string& x) const { append(out, x); }
        void operator()(const morvo::network::internet6_address& x) const { append(out, x); }
        void operator()(const std::shared_ptr<param>& x) const { append(out, x); }
    };
    boost::apply_visitor(visitor(out), v);
}

void option_param::append(value_type& out, int v)
{
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

void option_param::append(value_type& out, long v)
{
    out.push_back(static_cast<unsigned char>(v >> 24));
    out.push_back(static_cast<unsigned char>(v >> 16));
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

void option_param::append(value_type& out, const std::string& v)
{
    out.insert(out.end(), v.begin(), v.end());
}

void option_param::append(value_type& out, const morvo::network::internet6_address& v)
{
    out.insert(out.end(), v.data(), v.data() + v.size());
}

// ---- ia_param ----------------------------------------------------------

void ia_param::add_option(const std::shared_ptr<param>& p)
{
    if (auto t1 = std::dynamic_pointer_cast<t1_param>(p)) {
        t1_ = t1->value_;
    } else if (auto t2 = std::dynamic_pointer_cast<t2_param>(p)) {
        t2_ = t2->value_;
    } else {
        p->type_ = type_;
        params_.push_back(p);
    }
}

void ia_param::dump(std::ostream& os, int indent) const
{
    os << code_ << " IAID=" << static_cast<std::int32_t>(iaid_) << " T1=" << static_cast<std::int32_t>(t1_)
       << " T2=" << static_cast<std::int32_t>(t2_) << " OPTIONS=";
    param::dump(os, indent);
}

// ---- ia_data_param -----------------------------------------------------

template <class Address>
void ia_data_param<Address>::add_option(const std::shared_ptr<param>& p)
{
    if (auto ptime = std::dynamic_pointer_cast<ptime_param>(p))
        ptime_ = ptime->value_;
    else if (auto vtime = std::dynamic_pointer_cast<vtime_param>(p))
        vtime_ = vtime->value_;
    else
        throw std::invalid_argument("<iaprfix>");
}

template <class Address>
void ia_data_param<Address>::dump(std::ostream& os, int) const
{
    os << code_ << " " << address_.to_string() << " PTIME=" << static_cast<std::int32_t>(ptime_)
       << " VTIME=" << static_cast<std::int32_t>(vtime_);
}

template void ia_data_param<morvo::network::internet6_address>::add_option(const std::shared_ptr<param>&);
template void ia_data_param<morvo::network::prefix6_address>::add_option(const std::shared_ptr<param>&);
template void ia_data_param<morvo::network::internet6_address>::dump(std::ostream&, int) const;
template void ia_data_param<morvo::network::prefix6_address>::dump(std::ostream&, int) const;

} // namespace quorvelin
} // namespace zarn
