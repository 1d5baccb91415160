// Client DUIDs: each generated form from the client's number, and DUIDs
// read from a file (either spelling, wrapping, bad lines named).
#include "message/client_identity.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace wire_bytes;
using zarn::quorvelin::client_identities;
using zarn::quorvelin::duid_form;

TEST(ClientIdentity, EachGeneratedFormFromTheClientsNumber)
{
    const struct {
        duid_form form;
        const char* hex;
    } rows[] = {
        {duid_form::llt, "00 01 00 01 00 00 00 00 00 00 00 12 34 56"},
        {duid_form::ll, "00 03 00 01 00 00 00 12 34 56"},
        {duid_form::en, "00 02 00 00 7e d9 00 12 34 56"},
        {duid_form::uuid, "00 04 00 00 00 00 00 00 40 00 80 00 00 00 00 12 34 56"},
    };
    for (const auto& r : rows) {
        const client_identities ids(r.form);
        EXPECT_EQ(to_hex(ids.duid(0x123456)), to_hex(hex(r.hex))) << r.hex;
        EXPECT_EQ(ids.longest(), hex(r.hex).size());
    }
    EXPECT_EQ(client_identities::form_named("uuid"), duid_form::uuid);
    EXPECT_EQ(error_of([] { client_identities::form_named("LLT"); }), "--duid-type LLT: llt, ll, en or uuid");
}

TEST(ClientIdentity, DuidsFromAFileTakenInTurnAndRoundAgain)
{
    const auto ids = client_identities::from_text("# reserved subscribers\n"
                                                  "00:03:00:01:00:00:00:00:00:2a\n"
                                                  "\n"
                                                  "0003000100000000002B   # the same spelled without colons\n",
                                                  "duids.txt");
    EXPECT_EQ(ids.listed(), 2u);
    EXPECT_EQ(to_hex(ids.duid(0)), to_hex(hex("00 03 00 01 00 00 00 00 00 2a")));
    EXPECT_EQ(to_hex(ids.duid(1)), to_hex(hex("00 03 00 01 00 00 00 00 00 2b")));
    EXPECT_EQ(to_hex(ids.duid(2)), to_hex(ids.duid(0))) << "a short file goes round";
}

TEST(ClientIdentity, ABadLineIsAnErrorNamingIt)
{
    const struct {
        const char* text;
        const char* error;
    } rows[] = {
        {"0003000100\n00:03:zz\n", "duids.txt:2: '00:03:zz' is not a DUID in hexadecimal (such as "
                                   "00:03:00:01:00:00:00:00:00:2a or 0003000100000000002a)"},
        {"000300010\n", "duids.txt:1: '000300010' is not a DUID in hexadecimal (such as "
                        "00:03:00:01:00:00:00:00:00:2a or 0003000100000000002a)"},
        {"0003:\n", "duids.txt:1: '0003:' is not a DUID in hexadecimal (such as 00:03:00:01:00:00:00:00:00:2a or "
                    "0003000100000000002a)"},
        {"0003\n", "duids.txt:1: a DUID of 2 bytes: RFC 8415 allows 3 to 130 (a type and at least one byte)"},
        {"# nothing\n\n", "duids.txt: no DUID in it"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(error_of([&] { client_identities::from_text(r.text, "duids.txt"); }), r.error) << r.text;
    EXPECT_EQ(error_of([] { client_identities::from_text(std::string(131 * 2, 'a'), "d"); }),
              "d:1: a DUID of 131 bytes: RFC 8415 allows 3 to 130 (a type and at least one byte)");
}
