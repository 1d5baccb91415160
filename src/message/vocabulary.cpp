#include "message/vocabulary.hpp"

#include <array>

namespace zarn {
namespace quorvelin {

namespace {

template <std::size_t N>
const char* name_of(const std::array<const char*, N>& names, int value, const char* fallback)
{
    if (value < 0 || static_cast<std::size_t>(value) >= N || names[value] == nullptr)
        return fallback;
    return names[value];
}

const std::array<const char*, 16> message_names = {
    "UNDEFINED", "SOLICIT", "ADVERTISE", "REQUEST", "CONFIRM", "RENEW", "REBIND", "REPLY",
    "RELEASE", "DECLINE", "RECONFIGURE", "INFORMATION_REQUEST", "RELAY_FORD", "RELAY_REPL",
    "LEASEQUERY", "LEASEQUERY_REPLY",
};

// Null entries print as "UNKNOWN"; Vendor Class (16) is one of them.
const std::array<const char*, 48> option_names = {
    "UNSPECIFIED", "CLIENT_IDENTIFIER", "SERVER_IDENTIFIER", "IA_NA", "IA_TA", "IAADDR",
    "REQUEST_OPTION", "PREFERENCE", "ELAPSED_TIME", "RELAY_MESSAGE", nullptr, "AUTHENTICATION",
    nullptr, "STATUS_CODE", "RAPID_COMMIT", "USER_CLASS", nullptr, "VENDOR_INFO",
    "INTERFACE_ID", "RECONFIGURE_MESSAGE", "RECONFIGURE_ACCEPT", nullptr, nullptr, "NAME_SERVERS",
    "DOMAIN_SEARCH", "IA_PD", "IAPREFIX", nullptr, nullptr, nullptr,
    nullptr, nullptr, "INFO_REFRESH_TIME", nullptr, nullptr, nullptr,
    nullptr, "REMOTE_ID", "SUBSCRIBER_ID", "CLIENT_FQDN", nullptr, nullptr,
    nullptr, nullptr, "LEASEQUERY_QUERY", "CLIENT_DATA", "CLIENT_LT_TIME", "CLIENT_RELAY_DAYA",
};

// 0..5 keep their historical spelling; 6..10 are RFC 8415's NoPrefixAvail and
// the leasequery codes of RFC 5007; anything else prints "UNKNOWN".
const std::array<const char*, 11> status_names = {
    "Success", "UnspecFail", "NoAddrAvail", "NoBinding", "NotOnLink", " UseMulticast",
    "NoPrefixAvail", "UnknownQueryType", "MalformedQuery", "NotConfigured", "NotAllowed",
};

} // namespace

const char* message_name(int type)
{
    return name_of(message_names, type, "UNDEFINED");
}

std::ostream& operator<<(std::ostream& os, message_type value)
{
    return os << static_cast<int>(value) << ':' << message_name(value);
}

std::ostream& operator<<(std::ostream& os, option_code value)
{
    return os << static_cast<int>(value) << ':' << name_of(option_names, value, "UNKNOWN");
}

std::ostream& operator<<(std::ostream& os, status_code value)
{
    return os << static_cast<int>(value) << ':' << name_of(status_names, value, "UNKNOWN");
}

} // namespace quorvelin
} // namespace zarn
