// The scenario scanner on its own: token kinds and values by longest match,
// the texts that end the token stream, range errors and token lines.
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace zarn::quorvelin;
using namespace std::string_literals;
using wire_bytes::error_of;

namespace {

// The tokens up to the end of the stream, one word each: keywords and
// punctuation as written, values as kind(value); with `lines`, each token's
// line after "@" and the line the stream ended on.
std::string lex(const std::string& text, bool lines = false)
{
    std::istringstream in(text);
    scanner s(&in);
    param_value v;
    location loc;
    std::ostringstream out;
    for (int kind; s.yylval = &v, s.yylloc = &loc, (kind = s.yylex()) > 0; out << " ") {
        using t = parser::token;
        switch (kind) {
        case t::TOK_NUMBER: out << "n(" << boost::get<int>(v) << ")"; break;
        case t::TOK_LONG_NUMBER: out << "l(" << boost::get<long>(v) << ")"; break;
        case t::TOK_PREFIX_LENGTH: out << "/" << boost::get<int>(v); break;
        case t::TOK_ADDRESS: out << "a(" << boost::get<morvo::network::internet6_address>(v).to_string() << ")"; break;
        case t::TOK_NAME: out << "name(" << boost::get<std::string>(v) << ")"; break;
        case t::TOK_STRING: out << "s(" << wire_bytes::to_hex(wire_bytes::text(boost::get<std::string>(v))) << ")"; break;
        case t::TOK_OCTETS: out << "x(" << wire_bytes::to_hex(wire_bytes::text(boost::get<std::string>(v))) << ")"; break;
        case t::TOK_YYUNDEF: out << "?"; break;
        default: out << s.YYText();
        }
        if (lines)
            out << "@" << loc.begin.line;
    }
    return out.str() + (lines ? "end@" + std::to_string(loc.begin.line) : "");
}

} // namespace

TEST(Scanner, TokensByLongestMatch)
{
    const std::pair<std::string, std::string> cases[] = {
        {"SOLICIT REQUEST_OPTION solicit T10 @autox", "SOLICIT REQUEST_OPTION name(solicit) name(T10) @auto name(x) "},
        {"=>=<=!={}[](),;", "=> = <= != { } [ ] ( ) , ; "},
        {"-5 65535 12L 4294967295l 1a 1.2", "n(5) n(65535) l(12) l(4294967295) name(1a) name(1.2) "},
        {"DE-AD-BE-EF dead-beef 123-4 00-11-223", "x(de ad be ef) name(dead) name(beef) n(123) n(4) x(00 11 22) n(3) "},
        {"2001:db8::1/64 :: /200", "a(2001:db8::1) /64 a(::) /200 "},
        {"\"a#\nb\" \"\\n\" 'A' '\\101' '\\x41' '\\777' '''", "s(61 23 0a 62) s(5c 6e) s(41) s(41) s(41) s(ff) s(27) "},
        {" \t\r$%&*+?^`|~!\"'/<@\x01\x7f\xff", ""},
        // A dotted quad or any other single-quoted text ends the stream.
        {"1 192.0.2.1 2", "n(1) "},
        {"1 'ab' 2", "n(1) "},
        {"1234.0.2.1 1.2.3.4.5", "name(1234.0.2.1) name(1.2.3.4.5) "},
        // A NUL byte is a token that no rule admits, also inside quotes.
        {"A \"a\0b\" '\0'"s, "name(A) name(a) ? name(b) ? "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lex(c.first), c.second) << c.first;
}

TEST(Scanner, OutOfRangeNumbersAndMalformedAddressesThrow)
{
    for (const char* text : {"70000", "65536", "4294967296L", "/2147483648"})
        EXPECT_EQ(error_of([&] { lex(text); }), "bad lexical cast: source type value could not be interpreted as target")
            << text;
    for (const char* text : {":::", "1:2", "12345::1"})
        EXPECT_EQ(error_of([&] { lex(text); }), "from_string: Invalid argument") << text;
}

TEST(Scanner, OnlySkippedCharactersMoveTheLine)
{
    EXPECT_EQ(lex("SOLICIT {\n  X", true), "SOLICIT@1 {@1 name(X)@2 end@2");
    EXPECT_EQ(lex("SOLICIT {\nX", true), "SOLICIT@1 {@1 name(X)@1 end@1");
    EXPECT_EQ(lex("X\n\n\n ", true), "name(X)@1 end@4");
    EXPECT_EQ(lex("\"a\n\nb\" X", true), "s(61 0a 0a 62)@1 name(X)@1 end@1");
}
