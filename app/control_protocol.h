#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The commands a running copy answers over its local socket, and their replies, as text.
// A request is one line: "LIST", "LIST JSON", "ON <forward>", "OFF <forward>", "RELOAD".
// A reply is lines "OUT <text>" (for standard output) and "ERR <text>" (for standard
// error), ended by "END <status>": 0 done, 1 refused or not fully done.

enum class ControlVerb { List, ListJson, On, Off, Reload };

struct ControlRequest {
    ControlVerb verb = ControlVerb::List;
    // The forward named by ON and OFF.
    std::string forward;
};

// The request a line asks for, or nothing for an unknown or malformed one (why says which).
std::optional<ControlRequest> parseControlRequest(const std::string& line, std::string& why);
// The line that asks for request, without its line end.
std::string controlRequestLine(const ControlRequest& request);

struct ControlReply {
    std::vector<std::string> out;
    std::vector<std::string> err;
    int status = 0;
};

// The reply as it goes over the socket; a line end inside a text becomes a space.
std::string encodeControlReply(const ControlReply& reply);
// The reply read back; false when the text does not end in a complete END line.
bool decodeControlReply(const std::string& text, ControlReply& reply);

// One forward as --list shows it.
struct ForwardListing {
    int panel = 0;  // 1-based
    std::string name;
    bool udp = false;
    int port = 0;
    // LISTENHOST as set; empty for every address.
    std::string listen;
    // "host:port", an IPv6 address in brackets.
    std::string destination;
    bool on = false;
    int connections = 0;
    std::uint64_t bytesUp = 0;
    std::uint64_t bytesDown = 0;
};

// One line per forward, fields separated by tabs: panel, TCP:<port> or UDP:<port>, name ("-"
// when none), ON or OFF, destination, connections, bytes up, bytes down.
std::vector<std::string> listingLines(const std::vector<ForwardListing>& forwards);
// {"forwards": [ ... ]} on one line, one object per forward.
std::string listingJson(const std::vector<ForwardListing>& forwards);

// The forwards a command names, as indexes into forwards: a listen port (every protocol on
// it), "tcp:<port>" or "udp:<port>" (any case), or a NAME. Empty when none matches.
std::vector<std::size_t> matchForwards(const std::string& named,
                                       const std::vector<ForwardListing>& forwards);

// "TCP:8080" or "UDP:5353".
std::string forwardLabel(const ForwardListing& forward);
