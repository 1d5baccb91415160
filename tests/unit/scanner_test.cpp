// The scenario scanner on its own: token kinds, value conversions, the end of
// the token stream, and the line numbers the parser reports.
#include "scenario/parser.hpp"
#include "scenario/scanner.hpp"

#include <gtest/gtest.h>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace zarn::quorvelin;
using token = parser::token;

namespace {

const std::map<int, std::string> fixed_tokens = {
    {token::TOK_SEMICOLON, ";"},
    {token::TOK_LBRACE, "{"},
    {token::TOK_RBRACE, "}"},
    {token::TOK_LBRACKET, "["},
    {token::TOK_RBRACKET, "]"},
    {token::TOK_LPAREN, "("},
    {token::TOK_RPAREN, ")"},
    {token::TOK_COMMA, ","},
    {token::TOK_ASSIGN, "="},
    {token::TOK_NOT_EQUAL, "!="},
    {token::TOK_LEFT_ARROW, "<="},
    {token::TOK_RIGHT_ARROW, "=>"},
    {token::TOK_SOLICIT, "SOLICIT"},
    {token::TOK_REQUEST, "REQUEST"},
    {token::TOK_CONFIRM, "CONFIRM"},
    {token::TOK_RENEW, "RENEW"},
    {token::TOK_REBIND, "REBIND"},
    {token::TOK_RELEASE, "RELEASE"},
    {token::TOK_DECLINE, "DECLINE"},
    {token::TOK_RECONFIGURE, "RECONFIGURE"},
    {token::TOK_INFORMATION_REQUEST, "INFORMATION_REQUEST"},
    {token::TOK_RELAY, "RELAY"},
    {token::TOK_LEASEQUERY, "LEASEQUERY"},
    {token::TOK_IA_NA, "IA_NA"},
    {token::TOK_IA_PD, "IA_PD"},
    {token::TOK_T1, "T1"},
    {token::TOK_T2, "T2"},
    {token::TOK_IAADDR, "IAADDR"},
    {token::TOK_IAPREFIX, "IAPREFIX"},
    {token::TOK_PTIME, "PTIME"},
    {token::TOK_VTIME, "VTIME"},
    {token::TOK_REQUEST_OPTION, "REQUEST_OPTION"},
    {token::TOK_INFINITY, "infinity"},
    {token::TOK_EMPTY, "empty"},
    {token::TOK_AUTO, "@auto"},
};

// Bytes as lower-case hex joined by ":" (the dump's style).
std::string hex(const std::string& bytes)
{
    std::ostringstream os;
    os << std::hex;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        os << (i ? ":" : "") << unsigned(static_cast<unsigned char>(bytes[i]));
    return os.str();
}

std::string describe(int kind, const param_value& value)
{
    auto fixed = fixed_tokens.find(kind);
    if (fixed != fixed_tokens.end())
        return fixed->second;
    switch (kind) {
    case token::TOK_NUMBER:
        return "NUMBER " + std::to_string(boost::get<int>(value));
    case token::TOK_LONG_NUMBER:
        return "LONG " + std::to_string(boost::get<long>(value));
    case token::TOK_PREFIX_LENGTH:
        return "PREFIX " + std::to_string(boost::get<int>(value));
    case token::TOK_NAME:
        return "NAME " + boost::get<std::string>(value);
    case token::TOK_STRING:
        return "STRING " + hex(boost::get<std::string>(value));
    case token::TOK_OCTETS:
        return "OCTETS " + hex(boost::get<std::string>(value));
    case token::TOK_ADDRESS:
        return "ADDRESS " + boost::get<morvo::network::internet6_address>(value).to_string();
    case token::TOK_YYUNDEF:
        return "INVALID";
    }
    return "kind " + std::to_string(kind);
}

struct lexed {
    std::vector<std::string> tokens; // up to the end of the token stream
    std::vector<int> lines;          // begin.line of each token
    int end_line = 0;                // begin.line when the stream ended
};

lexed lex(const std::string& text)
{
    std::istringstream in(text);
    scanner s(&in);
    param_value value;
    location loc;
    lexed out;
    for (int kind;;) {
        s.yylval = &value;
        s.yylloc = &loc;
        if ((kind = s.yylex()) <= 0)
            break;
        out.tokens.push_back(describe(kind, value));
        out.lines.push_back(loc.begin.line);
    }
    out.end_line = loc.begin.line;
    return out;
}

std::vector<std::string> tokens(const std::string& text) { return lex(text).tokens; }

using strings = std::vector<std::string>;

} // namespace

TEST(Scanner, EveryKeywordAndPunctuationIsItsOwnToken)
{
    for (const auto& entry : fixed_tokens)
        EXPECT_EQ(tokens(entry.second), strings{entry.second}) << entry.second;
    EXPECT_EQ(tokens("REQUEST_OPTION REQUEST"), (strings{"REQUEST_OPTION", "REQUEST"}));
    EXPECT_EQ(tokens("=>=<=!="), (strings{"=>", "=", "<=", "!="}));
}

TEST(Scanner, KeywordsAreCaseSensitiveWholeWords)
{
    EXPECT_EQ(tokens("solicit"), strings{"NAME solicit"});
    EXPECT_EQ(tokens("SOLICITX"), strings{"NAME SOLICITX"});
    EXPECT_EQ(tokens("T1"), strings{"T1"});
    EXPECT_EQ(tokens("T10 IA_NA1"), (strings{"NAME T10", "NAME IA_NA1"}));
    EXPECT_EQ(tokens("@autox"), (strings{"@auto", "NAME x"}));
    EXPECT_EQ(tokens("Infinity EMPTY"), (strings{"NAME Infinity", "NAME EMPTY"}));
}

TEST(Scanner, NumbersNamesAndOctetsByLongestMatch)
{
    EXPECT_EQ(tokens("-5"), strings{"NUMBER 5"});
    EXPECT_EQ(tokens("12"), strings{"NUMBER 12"});
    EXPECT_EQ(tokens("12L 12l"), (strings{"LONG 12", "LONG 12"}));
    EXPECT_EQ(tokens("12x 1.2 1a ab"), (strings{"NAME 12x", "NAME 1.2", "NAME 1a", "NAME ab"}));
    EXPECT_EQ(tokens("1-2 0a-ff-3"), (strings{"OCTETS 1:2", "OCTETS a:ff:3"}));
    EXPECT_EQ(tokens("123-4"), (strings{"NUMBER 123", "NUMBER 4"}));
    EXPECT_EQ(tokens("00-11-223"), (strings{"OCTETS 0:11:22", "NUMBER 3"}));
    EXPECT_EQ(tokens("DE-AD-BE-EF"), strings{"OCTETS de:ad:be:ef"});
    EXPECT_EQ(tokens("00-01-0a"), strings{"OCTETS 0:1:a"});
    EXPECT_EQ(tokens("dead-beef"), (strings{"NAME dead", "NAME beef"}));
}

TEST(Scanner, SkippedCharactersStartNoToken)
{
    EXPECT_EQ(tokens(" \t\r#$%&*+->?^`|~!\"'/<@\x01\x7f\xff"), strings{});
    EXPECT_EQ(tokens(""), strings{});
}

TEST(Scanner, NumberRangesAreChecked)
{
    EXPECT_EQ(tokens("65535 0"), (strings{"NUMBER 65535", "NUMBER 0"}));
    EXPECT_EQ(tokens("4294967295L"), strings{"LONG 4294967295"});
    EXPECT_EQ(tokens("/2147483647"), strings{"PREFIX 2147483647"});
    for (const char* text : {"70000", "65536", "4294967296L", "99999999999999999999l", "/2147483648"}) {
        try {
            tokens(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const boost::bad_lexical_cast& e) {
            EXPECT_STREQ(e.what(), "bad lexical cast: source type value could not be interpreted as target")
                << text;
        }
    }
}

TEST(Scanner, AddressesAndPrefixLengths)
{
    EXPECT_EQ(tokens("fe80::1 :: ff02::1:2"), (strings{"ADDRESS fe80::1", "ADDRESS ::", "ADDRESS ff02::1:2"}));
    EXPECT_EQ(tokens("2001:db8::1/64"), (strings{"ADDRESS 2001:db8::1", "PREFIX 64"}));
    // Dots stop an address: the text is ::ffff:1 (which inet_ntop happens to
    // print in its IPv4-compatible form), then a name.
    EXPECT_EQ(tokens("::ffff:1.2.3.4"), (strings{"ADDRESS ::255.255.0.1", "NAME .2.3.4"}));
    EXPECT_EQ(tokens("/0 /200"), (strings{"PREFIX 0", "PREFIX 200"}));
}

TEST(Scanner, MalformedAddressFailsWithSystemError)
{
    for (const char* text : {":::", "1:2", "12345::1", "1:2:3:4:5:6:7:8:9"}) {
        try {
            tokens(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), boost::system::error_code(EINVAL, boost::system::generic_category())) << text;
            EXPECT_EQ(std::string(e.what()).rfind("from_string: ", 0), 0u) << e.what();
        }
    }
}

TEST(Scanner, QuotedTextAndCharacterForms)
{
    EXPECT_EQ(tokens("\"ab c\""), strings{"STRING 61:62:20:63"});
    EXPECT_EQ(tokens("\"\""), strings{"STRING "});
    EXPECT_EQ(tokens("\"a\nb\""), strings{"STRING 61:a:62"});
    EXPECT_EQ(tokens("\"\\n\""), strings{"STRING 5c:6e"}); // no escapes inside double quotes
    for (const char* a : {"'A'", "'\\101'", "'\\x41'", "'\\X41'"})
        EXPECT_EQ(tokens(a), strings{"STRING 41"}) << a;
    EXPECT_EQ(tokens("'\\777'"), strings{"STRING ff"});
    EXPECT_EQ(tokens("'\\x23'"), strings{"STRING 23"});
    EXPECT_EQ(tokens("'''"), strings{"STRING 27"});
    EXPECT_EQ(tokens("'\\'"), strings{"STRING 5c"});
    EXPECT_EQ(tokens("' '"), strings{"STRING 20"});
}

TEST(Scanner, DottedQuadAndOtherSingleQuotedTextEndTheStream)
{
    EXPECT_EQ(tokens("1 192.0.2.1 2"), strings{"NUMBER 1"});
    EXPECT_EQ(tokens("1 'ab' 2"), strings{"NUMBER 1"});
    EXPECT_EQ(tokens("1 '' 2"), strings{"NUMBER 1"});
    EXPECT_EQ(tokens("1 '\\n' 2"), strings{"NUMBER 1"});
    EXPECT_EQ(tokens("1 '\\10' 2"), strings{"NUMBER 1"});
    // Longer groups or a fifth group make a name instead.
    EXPECT_EQ(tokens("1234.0.2.1 1.2.3.4.5"), (strings{"NAME 1234.0.2.1", "NAME 1.2.3.4.5"}));
}

TEST(Scanner, OnlySkippedCharactersMoveTheLine)
{
    // Spaces before X step the location onto line 2.
    lexed spaced = lex("SOLICIT {\n  X");
    EXPECT_EQ(spaced.lines, (std::vector<int>{1, 1, 2}));
    // At the start of a line, X keeps the line of the last skipped character.
    lexed flush = lex("SOLICIT {\nX");
    EXPECT_EQ(flush.lines, (std::vector<int>{1, 1, 1}));
    // Line feeds inside double quotes are not counted.
    lexed quoted = lex("\"a\n\nb\" X");
    EXPECT_EQ(quoted.lines, (std::vector<int>{1, 1}));
    // A run of line feeds counts each one; the end keeps the last step.
    lexed blank = lex("\n\n\n");
    EXPECT_EQ(blank.end_line, 1);
    lexed stepped = lex("\n\n\n ");
    EXPECT_EQ(stepped.end_line, 4);
}

TEST(Scanner, NulByteIsAnInvalidTokenOnItsLine)
{
    using namespace std::string_literals;
    lexed bare = lex("A\n B\0C"s);
    EXPECT_EQ(bare.tokens, (strings{"NAME A", "NAME B", "INVALID", "NAME C"}));
    EXPECT_EQ(bare.lines, (std::vector<int>{1, 2, 2, 2}));
    // Neither kind of quotes can carry a NUL into a value.
    EXPECT_EQ(tokens("\"a\0b\""s), (strings{"NAME a", "INVALID", "NAME b"}));
    EXPECT_EQ(tokens("'\0'"s), strings{"INVALID"});
    EXPECT_EQ(tokens("'a\0b'"s), (strings{"NAME a", "INVALID", "NAME b"}));
}
