#ifndef QUORVELIN_MESSAGE_PARAM_HPP
#define QUORVELIN_MESSAGE_PARAM_HPP

// The parameter tree: the program's model of one scenario message (or of the
// relay-agent layers that wrap every message), built once by the scenario
// parser and then walked to encode each client's next request.

#include "message/build_outcome.hpp"
#include "message/client/client_template.hpp"
#include "message/vocabulary.hpp"
#include "morvo/network/internet6_address.hpp"
#include "morvo/network/prefix_address.hpp"

#include <boost/assert.hpp>
#include <boost/variant.hpp>

#include <cstdint>
#include <list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

class param;

// The value of one scenario item and the parser's semantic value. The order of
// the alternatives is significant: index 0 is "@auto".
using param_value = boost::variant<boost::blank, int, long, std::string,
                                   morvo::network::internet6_address, std::shared_ptr<param>>;

class param {
public:
    param() = default;
    param(int type, int code) : type_(type), code_(code) {}
    param(const param&) = delete;
    param& operator=(const param&) = delete;
    virtual ~param() = default;

    // Advances the alternative cursors of this subtree (base: every child).
    virtual void next_scene() const;
    // Writes a readable image of the subtree (base: the child list).
    virtual void dump(std::ostream& os, int indent) const;
    // Encodes this node at out, never past end, copying "@auto" data from the
    // option area [src_begin, src_end) (both may be null: no source).
    // Returns the position after what was written (base: writes nothing).
    virtual char* build_packet(char* out, char* end, const char* src_begin, const char* src_end) const;

    // Encodes a relay layer's option for one client: `client`, on link
    // `link`, as its templates make it (base: build_packet without source).
    virtual char* build_for_client(char* out, char* end, std::uint64_t client, std::uint32_t link) const;

    // Narrows [begin, end) to this node's option (header included) inside an
    // option area; on failure begin = end and the result is false.
    bool find_option(const char*& begin, const char*& end) const;

    std::int32_t type_ = 0;
    std::int32_t code_ = 0;
    std::vector<std::shared_ptr<param>> params_;
    bool is_auto_ = false;
};

// One relay-agent layer: a RELAY-FORW header around the inner message, plus
// the layer's own options (its children).
class relay_param : public param {
public:
    relay_param() = default;
    relay_param(const morvo::network::internet6_address& link, const morvo::network::internet6_address& peer)
        : link_address_(link), peer_address_(peer) {}

    // Writes the 34-byte relay header at out and returns out + 34. Narrows the
    // previous request range [qb, qe) to this layer's Relay Message data when
    // it matches this layer, else empties it.
    char* build_packet(char* out, char* end, const char*& qb, const char*& qe) const;

    // Moves [begin, end) through relay layers to the innermost message.
    static void strip_relays(const char*& begin, const char*& end);
    // Matches one relay layer against this node; on success narrows the range
    // to its Relay Message data.
    bool find_next_message(const char*& begin, const char*& end) const;
    // Moves the range to the client/server message inside any relay layers;
    // true when a message of a handled type was found.
    static bool get_message(const char*& begin, const char*& end);

    // The inherited build_packet (which writes nothing) is deliberately not
    // brought in: with it, a call with lvalue pointers would be ambiguous.

    std::int32_t hop_count_ = 0;
    morvo::network::internet6_address link_address_;
    morvo::network::internet6_address peer_address_;
    // Written as a prefix (RELAY 2001:db8:1000::1/48 => ...): each client's
    // link-address is link_address_ with its link's number added to the
    // /64 network number, within this many leading bits. 0: fixed.
    std::int32_t link_prefix_length_ = 0;

    // The link-address of link `link` (link_address_ when fixed).
    morvo::network::internet6_address link_address_of(std::uint32_t link) const;
    // How many links the prefix holds from link_address_ on (0 when fixed).
    std::uint64_t links_held() const;
};

// The root of one scenario message; also the root of a relay list.
class top_param : public param {
public:
    void next_scene() const override;
    void dump(std::ostream& os, int indent) const override;

    // Writes the generated identity of the client with transaction id n
    // (that id, and the Client Identifier of the client's number in the
    // whole test, g_opt_client_numbering.of(n)) into a zero-filled scratch
    // buffer (std::runtime_error "packet too short" when it does not fit).
    static char* init_packet(int n, char* begin, char* end);

    // Encodes this message for one client into [out, out_end). reply is the
    // previous reply (or the generated identity), request the client's
    // previous request. Returns the end of the message, or null when an IA of
    // the reply carries a failure status or the reply holds no client/server
    // message. Throws std::runtime_error when the output does not fit. On
    // success the rest of the output range is zeroed.
    char* build_packet(char* out, char* out_end, const char* reply_begin, const char* reply_end,
                       const char* request_begin, const char* request_end, unsigned long depth) const;
    // The same, telling in `outcome` why a null result is null.
    char* build_packet(char* out, char* out_end, const char* reply_begin, const char* reply_end,
                       const char* request_begin, const char* request_end, unsigned long depth,
                       build_outcome& outcome) const;

    using param::build_packet;

    std::vector<std::shared_ptr<relay_param>> relays_;
};

// An option with its alternative values, or an automatic ("@auto") option.
class option_param : public param {
public:
    using value_type = std::vector<unsigned char>;
    using values_type = std::list<value_type>;

    template <class Value>
    option_param(int code, const Value& v) : param(0, code)
    {
        current_ = values_.end();
        if (is_blank(v))
            is_auto_ = true;
        else
            add_param(v);
    }

    // Appends v's wire form to the alternative under construction, opening a
    // new alternative when the cursor is at the end.
    template <class Value>
    void add_param(const Value& v)
    {
        BOOST_ASSERT_MSG(is_auto_ == false, "is_auto_ == false");
        if (current_ == values_.end())
            current_ = values_.insert(values_.end(), value_type());
        append(*current_, v);
    }

    // Appends a quoted text written on `line`, noting it when it holds
    // braces: a relay layer's option makes it a template.
    void add_text(const std::string& text, unsigned line);
    // The option belongs to a relay layer: each noted text becomes a
    // template of the client and its link (client_template). Throws
    // positioned_error for a malformed one.
    void use_templates();
    bool templated() const noexcept { return !templates_.empty(); }

    void next_scene() const override;
    void dump(std::ostream& os, int indent) const override;
    char* build_packet(char* out, char* end, const char* src_begin, const char* src_end) const override;
    char* build_for_client(char* out, char* end, std::uint64_t client, std::uint32_t link) const override;

    // The option code for a scenario name, matched without regard to case.
    // Throws std::runtime_error "<name> : undefined option-name".
    static int optcode(const std::string& name);

    values_type values_;
    mutable values_type::iterator current_;

private:
    // A text of one alternative: its bytes [offset, offset + length), where
    // it was written, and once a relay layer has the option, its template.
    struct text_span {
        std::size_t alternative, offset, length;
        unsigned line;
        std::shared_ptr<const client_template> made;
    };
    std::vector<text_span> texts_;
    std::vector<text_span> templates_; // those that are templates, by alternative and offset

    static bool is_blank(const param_value& v) { return v.which() == 0; }
    static bool is_blank(const boost::blank&) { return true; }
    template <class T>
    static bool is_blank(const T&) { return false; }

    static void append(value_type& out, const param_value& v);
    static void append(value_type&, const boost::blank&) {}
    static void append(value_type& out, int v);
    static void append(value_type& out, long v);
    static void append(value_type& out, const std::string& v);
    static void append(value_type& out, const morvo::network::internet6_address& v);
    static void append(value_type&, const std::shared_ptr<param>&) {}
};

// IA_NA (code 3) or IA_PD (code 25).
class ia_param : public param {
public:
    ia_param(int code, std::uint32_t iaid) : param(0, code), iaid_(iaid) {}

    // Attaches one item of the IA's option list: T1/T2 carriers set the
    // fields, everything else becomes a child.
    void add_option(const std::shared_ptr<param>& p);

    void dump(std::ostream& os, int indent) const override;
    char* build_packet(char* out, char* end, const char* src_begin, const char* src_end) const override;

    std::uint32_t iaid_ = 0;
    std::uint32_t t1_ = 0;
    std::uint32_t t2_ = 0;
};

// IAADDR (over internet6_address, code 5) or IAPREFIX (over a prefix, code 26).
template <class Address>
class ia_data_param : public param {
public:
    ia_data_param(int code, const Address& address) : param(0, code), address_(address) {}

    // Accepts only PTIME and VTIME carriers; throws std::invalid_argument
    // "<iaprfix>" for anything else.
    void add_option(const std::shared_ptr<param>& p);

    void dump(std::ostream& os, int indent) const override;
    char* build_packet(char* out, char* end, const char* src_begin, const char* src_end) const override;

    Address address_;
    std::uint32_t ptime_ = 0;
    std::uint32_t vtime_ = 0;
};

using iaaddr_param = ia_data_param<morvo::network::internet6_address>;
using iaprefix_param = ia_data_param<morvo::network::prefix6_address>;

// A value carrier holds one 32-bit time given inside an IA, an address or a
// prefix. It is handed to add_option of its parent, which copies value_ into
// its own field and drops it; it never reaches a packet. The tag only makes
// the four kinds distinct types, so that add_option tells them apart.
template <class Tag>
class value_carrier : public param {
public:
    explicit value_carrier(std::uint32_t value) : value_(value) {}
    std::uint32_t value_;
};

using t1_param = value_carrier<struct t1_tag>;
using t2_param = value_carrier<struct t2_tag>;
using ptime_param = value_carrier<struct ptime_tag>;
using vtime_param = value_carrier<struct vtime_tag>;

} // namespace quorvelin
} // namespace zarn

#endif
