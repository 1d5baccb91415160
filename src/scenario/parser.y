// The scenario grammar. One text is one client message with its options, or
// one list of relay-agent layers. The actions build the parameter tree inside
// the top_param given to the constructor, strictly in text order: a node is
// created as soon as its opening is recognised and is then reached by the
// rules of its contents through the value that lies under them on the stack
// ($0), so every item is attached to its container when the item is complete.

%require "3.2"
%language "c++"
%skeleton "lalr1.cc"

%define api.namespace {zarn::quorvelin}
%define api.parser.class {parser}
%define api.value.type {zarn::quorvelin::param_value}
%define api.token.prefix {TOK_}
%define api.location.file none
%define parse.error simple
%locations
%expect 0

%parse-param {scanner& scanner_} {std::shared_ptr<param> root_}
%lex-param {scanner& scanner_}

%code requires {
#include "message/param.hpp"

#include <memory>

namespace zarn {
namespace quorvelin {
class scanner;
}
}
}

%code {
#include "scenario/scanner.hpp"

#include <stdexcept>
#include <string>

namespace zarn {
namespace quorvelin {
namespace {

// Token supply: the scanner writes straight into the lookahead symbol.
int yylex(param_value* value, location* loc, scanner& s)
{
    s.yylval = value;
    s.yylloc = loc;
    return s.yylex();
}

std::shared_ptr<param> node(const param_value& v) { return boost::get<std::shared_ptr<param>>(v); }

template <class Node>
std::shared_ptr<Node> node_as(const param_value& v)
{
    return std::static_pointer_cast<Node>(node(v));
}

int number(const param_value& v) { return boost::get<int>(v); }

// A message item or relay option joins its container with the container's
// message type.
void attach(const param_value& container, const param_value& item)
{
    auto parent = node(container);
    auto child = node(item);
    child->type_ = parent->type_;
    parent->params_.push_back(child);
}

// PTIME/VTIME into either kind of IA address (IAADDR or IAPREFIX).
void add_lifetime(const param_value& container, const param_value& item)
{
    auto parent = node(container);
    if (auto address = std::dynamic_pointer_cast<iaaddr_param>(parent))
        address->add_option(node(item));
    else
        std::static_pointer_cast<iaprefix_param>(parent)->add_option(node(item));
}

param_value new_message(const param_value& root, int type)
{
    node(root)->type_ = type;
    return root;
}

param_value new_relay(const param_value& link, const param_value& peer)
{
    using morvo::network::internet6_address;
    return std::shared_ptr<param>(std::make_shared<relay_param>(boost::get<internet6_address>(link),
                                                                boost::get<internet6_address>(peer)));
}

// A relay layer whose link-address is a template within the prefix of
// `length` bits, written at `at`.
param_value new_relay(const param_value& link, const param_value& peer, const param_value& length,
                      const location& at)
{
    if (number(length) < 1 || number(length) > 64)
        throw positioned_error("a link-address prefix of /" + std::to_string(number(length)) +
                                   ": it takes /1 to /64, each link being a /64 of it",
                               at.begin.line);
    const param_value relay = new_relay(link, peer);
    node_as<relay_param>(relay)->link_prefix_length_ = number(length);
    return relay;
}

void attach_relay_option(const param_value& relay, const param_value& item)
{
    if (auto option = std::dynamic_pointer_cast<option_param>(node(item)))
        option->use_templates();
    attach(relay, item);
}

void add_text(const param_value& option, const param_value& text, const location& at)
{
    node_as<option_param>(option)->add_text(boost::get<std::string>(text), at.begin.line);
}

param_value new_ia(int code, const param_value& iaid)
{
    return std::shared_ptr<param>(std::make_shared<ia_param>(code, static_cast<std::uint32_t>(number(iaid))));
}

param_value new_option(int code, const param_value& value)
{
    return std::shared_ptr<param>(std::make_shared<option_param>(code, value));
}

// An option that will receive values: neither automatic nor holding any
// alternative yet, its cursor at the end.
param_value new_valued_option(int code)
{
    auto option = std::make_shared<option_param>(code, boost::blank());
    option->is_auto_ = false;
    return std::shared_ptr<param>(option);
}

template <class Carrier>
param_value new_carrier(std::uint32_t value)
{
    return std::shared_ptr<param>(std::make_shared<Carrier>(value));
}

} // namespace
} // namespace quorvelin
} // namespace zarn
}

%token SEMICOLON ";" LBRACE "{" RBRACE "}" LBRACKET "[" RBRACKET "]"
       LPAREN "(" RPAREN ")" COMMA "," ASSIGN "=" NOT_EQUAL "!="
       LEFT_ARROW "<=" RIGHT_ARROW "=>"
%token SOLICIT "SOLICIT" REQUEST "REQUEST" CONFIRM "CONFIRM" RENEW "RENEW"
       REBIND "REBIND" RELEASE "RELEASE" DECLINE "DECLINE"
       RECONFIGURE "RECONFIGURE" INFORMATION_REQUEST "INFORMATION_REQUEST"
       RELAY "RELAY" LEASEQUERY "LEASEQUERY"
%token IA_NA "IA_NA" IA_PD "IA_PD" T1 "T1" T2 "T2" IAADDR "IAADDR"
       IAPREFIX "IAPREFIX" PTIME "PTIME" VTIME "VTIME"
       REQUEST_OPTION "REQUEST_OPTION"
%token INFINITY "infinity" EMPTY "empty" AUTO "@auto"
%token ADDRESS PREFIX_LENGTH NAME STRING OCTETS NUMBER LONG_NUMBER

%start scenario

%%

scenario
    : { $$ = root_; } scene
    ;

scene
    : message
    | relay_list
    ;

/* ---- relay list: $0 is the root ---------------------------------------- */

relay_list
    : relay                     { node_as<top_param>($0)->relays_.push_back(node_as<relay_param>($1)); }
    | relay_list "," relay      { node_as<top_param>($0)->relays_.push_back(node_as<relay_param>($3)); }
    ;

/* A link-address written as a prefix is a template of the client's link:
 * the link's number added to the address's /64 network number, within the
 * prefix. */
relay
    : "RELAY" ADDRESS "=>" ADDRESS "{" { $$ = new_relay($2, $4); } relay_options "}" { $$ = $6; }
    | "RELAY" ADDRESS "<=" ADDRESS "{" { $$ = new_relay($4, $2); } relay_options "}" { $$ = $6; }
    | "RELAY" ADDRESS PREFIX_LENGTH "=>" ADDRESS "{" { $$ = new_relay($2, $5, $3, @3); } relay_options "}" { $$ = $7; }
    | "RELAY" ADDRESS "<=" ADDRESS PREFIX_LENGTH "{" { $$ = new_relay($4, $2, $5, @5); } relay_options "}" { $$ = $7; }
    ;

/* A relay layer's texts are templates of the client (client_template). */
relay_options
    : %empty
    | option                    { attach_relay_option($0, $1); }
    | relay_options "," option  { attach_relay_option($0, $3); }
    ;

/* ---- message: $0 is the root ------------------------------------------- */

message
    : "SOLICIT" "{" { $$ = new_message($0, 1); } message_options "}" { $$ = $3; }
    | "REQUEST" "{" { $$ = new_message($0, 3); } message_options "}" { $$ = $3; }
    | "CONFIRM" "{" { $$ = new_message($0, 4); } message_options "}" { $$ = $3; }
    | "RENEW"   "{" { $$ = new_message($0, 5); } message_options "}" { $$ = $3; }
    | "REBIND"  "{" { $$ = new_message($0, 6); } message_options "}" { $$ = $3; }
    | "RELEASE" "{" { $$ = new_message($0, 8); } message_options "}" { $$ = $3; }
    | "DECLINE" "{" { $$ = new_message($0, 9); } message_options "}" { $$ = $3; }
    ;

message_options
    : message_option                        { attach($0, $1); }
    | message_options "," message_option    { attach($0, $3); }
    ;

message_option
    : "IA_NA" NUMBER "{" { $$ = new_ia(3, $2); } ia_na_options "}"   { $$ = $4; }
    | "IA_PD" NUMBER "{" { $$ = new_ia(25, $2); } ia_pd_options "}"  { $$ = $4; }
    | option
    ;

/* ---- IA contents: $0 is the IA ----------------------------------------- */

ia_na_options
    : %empty
    | ia_na_option                          { node_as<ia_param>($0)->add_option(node($1)); }
    | ia_na_options "," ia_na_option        { node_as<ia_param>($0)->add_option(node($3)); }
    ;

ia_na_option
    : ia_item
    | "IAADDR" ADDRESS "{"
          { $$ = std::shared_ptr<param>(std::make_shared<iaaddr_param>(5, boost::get<morvo::network::internet6_address>($2))); }
      iaaddr_options "}"                    { $$ = $4; }
    | "IAADDR" "=" "@auto"                  { $$ = new_option(5, boost::blank()); }
    ;

ia_pd_options
    : %empty
    | ia_pd_option                          { node_as<ia_param>($0)->add_option(node($1)); }
    | ia_pd_options "," ia_pd_option        { node_as<ia_param>($0)->add_option(node($3)); }
    ;

ia_pd_option
    : ia_item
    | "IAPREFIX" ADDRESS PREFIX_LENGTH "{"
          {
              const morvo::network::prefix6_address prefix(boost::get<morvo::network::internet6_address>($2),
                                                            number($3));
              $$ = std::shared_ptr<param>(std::make_shared<iaprefix_param>(26, prefix));
          }
      iaprefix_options "}"                  { $$ = $5; }
    | "IAPREFIX" "=" "@auto"                { $$ = new_option(26, boost::blank()); }
    ;

/* ---- IA address contents: $0 is the IAADDR or IAPREFIX ----------------- */

iaaddr_options
    : %empty
    | lifetime                              { add_lifetime($0, $1); }
    | iaaddr_options "," lifetime           { add_lifetime($0, $3); }
    ;

iaprefix_options
    : %empty
    | lifetime                              { add_lifetime($0, $1); }
    | iaprefix_options "," lifetime         { add_lifetime($0, $3); }
    ;

ia_item
    : "T1" "=" NUMBER                       { $$ = new_carrier<t1_param>(number($3)); }
    | "T1" "=" "infinity"                   { $$ = new_carrier<t1_param>(0xFFFFFFFFu); }
    | "T2" "=" NUMBER                       { $$ = new_carrier<t2_param>(number($3)); }
    | "T2" "=" "infinity"                   { $$ = new_carrier<t2_param>(0xFFFFFFFFu); }
    | option
    ;

lifetime
    : "PTIME" "=" NUMBER                    { $$ = new_carrier<ptime_param>(number($3)); }
    | "VTIME" "=" NUMBER                    { $$ = new_carrier<vtime_param>(number($3)); }
    ;

/* ---- options ------------------------------------------------------------
 * The option with values is created as soon as the token after "=" is known
 * not to be "@auto" or "empty", so an unknown name is reported before any
 * value is read. Its values then find it as $0. */

option
    : NAME "=" "@auto"          { $$ = new_option(option_param::optcode(boost::get<std::string>($1)), boost::blank()); }
    | NAME "=" "empty"          { $$ = new_option(option_param::optcode(boost::get<std::string>($1)), std::string()); }
    | NAME "="
          { $$ = new_valued_option(option_param::optcode(boost::get<std::string>($1))); }
      option_value              { $$ = $3; }
    | NUMBER "=" "@auto"        { $$ = new_option(number($1), boost::blank()); }
    | NUMBER "=" "empty"        { $$ = new_option(number($1), std::string()); }
    | NUMBER "="
          { $$ = new_valued_option(number($1)); }
      option_value              { $$ = $3; }
    ;

/* $0 is the option. */
option_value
    : value_seq
    | "[" { $$ = $0; } alternatives "]"     { $$ = $2; }
    ;

/* $0 is the option; after each list of values the option's cursor moves past
 * the alternative just filled, so the next list opens a new one. */
alternatives
    : value_seq                             { node($1)->next_scene(); $$ = $1; }
    | alternatives "," { $$ = $1; } value_seq
                                            { node($3)->next_scene(); $$ = $3; }
    ;

/* $0 is the option; values written side by side fill one alternative. A
 * quoted text is noted with where it stands, should it be a template. */
value_seq
    : value                                 { node_as<option_param>($0)->add_param($1); $$ = $0; }
    | STRING                                { add_text($0, $1, @1); $$ = $0; }
    | value_seq value                       { node_as<option_param>($1)->add_param($2); $$ = $1; }
    | value_seq STRING                      { add_text($1, $2, @2); $$ = $1; }
    ;

value
    : NUMBER
    | LONG_NUMBER
    | ADDRESS
    | OCTETS
    ;

%%

void zarn::quorvelin::parser::error(const location& loc, const std::string& msg)
{
    throw std::runtime_error(msg + " at " + std::to_string(loc.begin.line) + " line.");
}
