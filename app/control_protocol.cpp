#include "app/control_protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

std::optional<int> portNumber(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < 1 || value > 65535) {
        return std::nullopt;
    }
    return value;
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::optional<ControlRequest> parseControlRequest(const std::string& line, std::string& why) {
    const std::size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    ControlRequest request;
    if (verb == "LIST" && (rest.empty() || rest == "JSON")) {
        request.verb = rest.empty() ? ControlVerb::List : ControlVerb::ListJson;
        return request;
    }
    if (verb == "RELOAD" && space == std::string::npos) {
        request.verb = ControlVerb::Reload;
        return request;
    }
    if ((verb == "ON" || verb == "OFF") && !rest.empty()) {
        request.verb = verb == "ON" ? ControlVerb::On : ControlVerb::Off;
        request.forward = rest;
        return request;
    }
    why = "unknown command: " + oneLine(line.substr(0, 64));
    return std::nullopt;
}

std::string controlRequestLine(const ControlRequest& request) {
    switch (request.verb) {
        case ControlVerb::List:
            return "LIST";
        case ControlVerb::ListJson:
            return "LIST JSON";
        case ControlVerb::On:
            return "ON " + oneLine(request.forward);
        case ControlVerb::Off:
            return "OFF " + oneLine(request.forward);
        case ControlVerb::Reload:
            return "RELOAD";
    }
    return {};
}

std::string encodeControlReply(const ControlReply& reply) {
    std::string text;
    for (const std::string& line : reply.out) {
        text += "OUT " + oneLine(line) + "\n";
    }
    for (const std::string& line : reply.err) {
        text += "ERR " + oneLine(line) + "\n";
    }
    return text + "END " + std::to_string(reply.status) + "\n";
}

bool decodeControlReply(const std::string& text, ControlReply& reply) {
    reply = {};
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return false;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("OUT ", 0) == 0) {
            reply.out.push_back(line.substr(4));
        } else if (line.rfind("ERR ", 0) == 0) {
            reply.err.push_back(line.substr(4));
        } else if (line == "END 0" || line == "END 1") {
            reply.status = line.back() - '0';
            return true;
        } else {
            return false;
        }
    }
    return false;
}

std::string forwardLabel(const ForwardListing& forward) {
    return std::string(forward.udp ? "UDP:" : "TCP:") + std::to_string(forward.port);
}

std::vector<std::string> listingLines(const std::vector<ForwardListing>& forwards) {
    std::vector<std::string> lines;
    for (const ForwardListing& f : forwards) {
        std::ostringstream line;
        line << f.panel << '\t' << forwardLabel(f) << '\t' << (f.name.empty() ? "-" : f.name)
             << '\t' << (f.on ? "ON" : "OFF") << '\t' << f.destination << '\t' << f.connections
             << '\t' << f.bytesUp << '\t' << f.bytesDown;
        lines.push_back(line.str());
    }
    return lines;
}

std::string listingJson(const std::vector<ForwardListing>& forwards) {
    std::ostringstream json;
    json << "{\"forwards\": [";
    for (std::size_t i = 0; i < forwards.size(); ++i) {
        const ForwardListing& f = forwards[i];
        json << (i == 0 ? "" : ", ") << "{\"panel\": " << f.panel
             << ", \"name\": " << jsonString(f.name) << ", \"protocol\": \""
             << (f.udp ? "udp" : "tcp") << "\", \"port\": " << f.port
             << ", \"listen\": " << jsonString(f.listen)
             << ", \"destination\": " << jsonString(f.destination)
             << ", \"on\": " << (f.on ? "true" : "false") << ", \"connections\": " << f.connections
             << ", \"bytes_up\": " << f.bytesUp << ", \"bytes_down\": " << f.bytesDown << "}";
    }
    json << "]}";
    return json.str();
}

std::vector<std::size_t> matchForwards(const std::string& named,
                                       const std::vector<ForwardListing>& forwards) {
    std::vector<std::size_t> matches;
    std::optional<bool> udp;
    std::string portText = named;
    if (named.size() > 4 && (equalsIgnoringCase(named.substr(0, 4), "tcp:") ||
                             equalsIgnoringCase(named.substr(0, 4), "udp:"))) {
        udp = equalsIgnoringCase(named.substr(0, 4), "udp:");
        portText = named.substr(4);
    }
    if (const std::optional<int> port = portNumber(portText)) {
        for (std::size_t i = 0; i < forwards.size(); ++i) {
            if (forwards[i].port == *port && (!udp || forwards[i].udp == *udp)) {
                matches.push_back(i);
            }
        }
        if (!matches.empty() || udp) {
            return matches;
        }
    }
    for (std::size_t i = 0; i < forwards.size(); ++i) {
        if (!forwards[i].name.empty() && forwards[i].name == named) {
            matches.push_back(i);
        }
    }
    return matches;
}
