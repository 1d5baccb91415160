#ifndef QUORVELIN_MESSAGE_VOCABULARY_HPP
#define QUORVELIN_MESSAGE_VOCABULARY_HPP

#include <optional>
#include <ostream>
#include <string>

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

// The named DHCPv6 option codes (RFC 8415 section 21 and companions), one row
// each: X(enumerator, code, name, short name or nullptr). The name is what
// scenario files write and what diagnostics print; the short name is
// accepted after it. Two printed names differ from the table (see
// printed_option_name in vocabulary.cpp).
#define QUORVELIN_OPTION_CODES(X)                                   \
    X(opt_unspecified, 0, "UNSPECIFIED", nullptr)                   \
    X(opt_client_identifier, 1, "CLIENT_IDENTIFIER", "CID")         \
    X(opt_server_identifier, 2, "SERVER_IDENTIFIER", "SID")         \
    X(opt_ia_na, 3, "IA_NA", nullptr)                               \
    X(opt_ia_ta, 4, "IA_TA", nullptr)                               \
    X(opt_iaaddr, 5, "IAADDR", nullptr)                             \
    X(opt_request_option, 6, "REQUEST_OPTION", nullptr)             \
    X(opt_preference, 7, "PREFERENCE", nullptr)                     \
    X(opt_elapsed_time, 8, "ELAPSED_TIME", nullptr)                 \
    X(opt_relay_message, 9, "RELAY_MESSAGE", nullptr)               \
    X(opt_authentication, 11, "AUTHENTICATION", nullptr)            \
    X(opt_status_code, 13, "STATUS_CODE", nullptr)                  \
    X(opt_rapid_commit, 14, "RAPID_COMMIT", nullptr)                \
    X(opt_user_class, 15, "USER_CLASS", nullptr)                    \
    X(opt_vendor_class, 16, "VENDOR_CLASS", nullptr)                \
    X(opt_vendor_info, 17, "VENDOR_INFO", nullptr)                  \
    X(opt_interface_id, 18, "INTERFACE_ID", nullptr)                \
    X(opt_reconfigure_message, 19, "RECONFIGURE_MESSAGE", nullptr)  \
    X(opt_reconfigure_accept, 20, "RECONFIGURE_ACCEPT", nullptr)    \
    X(opt_name_servers, 23, "NAME_SERVERS", nullptr)                \
    X(opt_domain_search, 24, "DOMAIN_SEARCH", nullptr)              \
    X(opt_ia_pd, 25, "IA_PD", nullptr)                              \
    X(opt_iaprefix, 26, "IAPREFIX", nullptr)                        \
    X(opt_info_refresh_time, 32, "INFO_REFRESH_TIME", nullptr)      \
    X(opt_remote_id, 37, "REMOTE_ID", nullptr)                      \
    X(opt_subscriber_id, 38, "SUBSCRIBER_ID", nullptr)              \
    X(opt_client_fqdn, 39, "CLIENT_FQDN", nullptr)                  \
    X(opt_leasequery_query, 44, "LEASEQUERY_QUERY", nullptr)        \
    X(opt_client_data, 45, "CLIENT_DATA", nullptr)                  \
    X(opt_client_lt_time, 46, "CLIENT_LT_TIME", nullptr)            \
    X(opt_client_relay_data, 47, "CLIENT_RELAY_DATA", nullptr)

enum option_code : int {
#define QUORVELIN_OPTION_ENUMERATOR(id, code, name, short_name) id = code,
    QUORVELIN_OPTION_CODES(QUORVELIN_OPTION_ENUMERATOR)
#undef QUORVELIN_OPTION_ENUMERATOR
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

// The name scenario files write for an option code, e.g. "INTERFACE_ID";
// null for a code without one.
const char* option_name(int code);

// Each prints "<number>:<name>", e.g. "3:IA_NA".
std::ostream& operator<<(std::ostream& os, message_type value);
std::ostream& operator<<(std::ostream& os, option_code value);
std::ostream& operator<<(std::ostream& os, status_code value);

// The code of an option name as scenario files write it, case ignored; the
// first accepted name that matches wins. Empty when none does.
std::optional<int> accepted_option_code(const std::string& name);

} // namespace quorvelin
} // namespace zarn

#endif
