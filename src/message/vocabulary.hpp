#ifndef QUORVELIN_MESSAGE_VOCABULARY_HPP
#define QUORVELIN_MESSAGE_VOCABULARY_HPP

#include <ostream>

namespace zarn {
namespace quorvelin {

// DHCPv6 message types (RFC 8415 section 7.3). Any int is representable.
enum message_type : int {
    msg_undefined = 0,
    msg_solicit = 1,
    msg_advertise = 2,
    msg_request = 3,
    msg_confirm = 4,
    msg_renew = 5,
    msg_rebind = 6,
    msg_reply = 7,
    msg_release = 8,
    msg_decline = 9,
    msg_reconfigure = 10,
    msg_information_request = 11,
    msg_relay_forw = 12,
    msg_relay_repl = 13,
    msg_leasequery = 14,
    msg_leasequery_reply = 15,
};

// DHCPv6 option codes (RFC 8415 section 21 and companions).
enum option_code : int {
    opt_unspecified = 0,
    opt_client_identifier = 1,
    opt_server_identifier = 2,
    opt_ia_na = 3,
    opt_ia_ta = 4,
    opt_iaaddr = 5,
    opt_request_option = 6,
    opt_preference = 7,
    opt_elapsed_time = 8,
    opt_relay_message = 9,
    opt_authentication = 11,
    opt_status_code = 13,
    opt_rapid_commit = 14,
    opt_user_class = 15,
    opt_vendor_class = 16,
    opt_vendor_info = 17,
    opt_interface_id = 18,
    opt_reconfigure_message = 19,
    opt_reconfigure_accept = 20,
    opt_name_servers = 23,
    opt_domain_search = 24,
    opt_ia_pd = 25,
    opt_iaprefix = 26,
    opt_info_refresh_time = 32,
    opt_remote_id = 37,
    opt_subscriber_id = 38,
    opt_client_fqdn = 39,
    opt_leasequery_query = 44,
    opt_client_data = 45,
    opt_client_lt_time = 46,
    opt_client_relay_data = 47,
};

// DHCPv6 status codes (RFC 8415 section 21.13).
enum status_code : int {
    status_success = 0,
    status_unspec_fail = 1,
    status_no_addr_avail = 2,
    status_no_binding = 3,
    status_not_on_link = 4,
    status_use_multicast = 5,
};

// Whether a server message of type `reply` answers a client message of type
// `request` (RFC 8415 section 18): ADVERTISE, or REPLY with Rapid Commit, for
// a SOLICIT; REPLY for every other client message.
constexpr bool answers(int request, int reply)
{
    return reply == msg_reply || (reply == msg_advertise && request == msg_solicit);
}

// The name of a message type, e.g. "SOLICIT"; "UNDEFINED" for unknown types.
const char* message_name(int type);

// Each prints "<number>:<name>", e.g. "3:IA_NA".
std::ostream& operator<<(std::ostream& os, message_type value);
std::ostream& operator<<(std::ostream& os, option_code value);
std::ostream& operator<<(std::ostream& os, status_code value);

} // namespace quorvelin
} // namespace zarn

#endif
