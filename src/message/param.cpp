#include "message/param.hpp"

#include "message/wire.hpp"

#include <iomanip>
#include <iterator>
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

char* param::build_for_client(char* out, char* end, std::uint64_t, std::uint32_t) const
{
    return build_packet(out, end, nullptr, nullptr);
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

void option_param::add_text(const std::string& text, unsigned line)
{
    if (current_ == values_.end())
        current_ = values_.insert(values_.end(), value_type());
    if (text.find_first_of("{}") != std::string::npos)
        texts_.push_back({static_cast<std::size_t>(std::distance(values_.begin(), current_)), current_->size(),
                          text.size(), line, nullptr});
    append(*current_, text);
}

void option_param::use_templates()
{
    for (text_span& span : texts_) {
        const auto alternative = std::next(values_.begin(), static_cast<std::ptrdiff_t>(span.alternative));
        const std::string text(alternative->begin() + static_cast<std::ptrdiff_t>(span.offset),
                               alternative->begin() + static_cast<std::ptrdiff_t>(span.offset + span.length));
        try {
            if (auto made = client_template::parse(text))
                span.made = std::make_shared<const client_template>(std::move(*made));
        } catch (const template_error& e) {
            throw positioned_error("the text \"" + text + "\": " + e.what(), span.line);
        }
        if (span.made)
            templates_.push_back(span);
    }
}

char* option_param::build_for_client(char* out, char* end, std::uint64_t client, std::uint32_t link) const
{
    if (templates_.empty())
        return build_packet(out, end, nullptr, nullptr);
    if (current_ == values_.end())
        current_ = const_cast<values_type&>(values_).begin();
    const std::size_t alternative = static_cast<std::size_t>(
        std::distance(values_.begin(), static_cast<values_type::const_iterator>(current_)));
    const value_type& bytes = *current_;
    value_type value;
    std::size_t at = 0;
    for (const text_span& t : templates_) {
        if (t.alternative != alternative)
            continue;
        value.insert(value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(t.offset));
        t.made->expand(client, link, value);
        at = t.offset + t.length;
    }
    value.insert(value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    if (wire::size(out, end) < wire::option_header + value.size())
        throw std::runtime_error("packet too short");
    wire::put16(out, static_cast<unsigned>(code_));
    wire::put16(out + 2, static_cast<unsigned>(value.size()));
    std::copy(value.begin(), value.end(), out + wire::option_header);
    return out + wire::option_header + value.size();
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

// ---- relay_param: the link-address template -------------------------------

namespace {

std::uint64_t network_of(const morvo::network::internet6_address& a)
{
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i)
        n = n << 8 | a.data()[i];
    return n;
}

} // namespace

morvo::network::internet6_address relay_param::link_address_of(std::uint32_t link) const
{
    if (link_prefix_length_ == 0)
        return link_address_;
    morvo::network::internet6_address a = link_address_;
    std::uint64_t n = network_of(a) + link;
    for (int i = 7; i >= 0; --i, n >>= 8)
        a.data()[i] = static_cast<unsigned char>(n);
    return a;
}

std::uint64_t relay_param::links_held() const
{
    if (link_prefix_length_ <= 0 || link_prefix_length_ > 64)
        return 0;
    // The /64 networks from the written one to the prefix's last.
    const unsigned free_bits = 64u - static_cast<unsigned>(link_prefix_length_);
    const std::uint64_t mask = free_bits == 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << free_bits) - 1;
    return mask - (network_of(link_address_) & mask) + 1;
}

} // namespace quorvelin
} // namespace zarn
